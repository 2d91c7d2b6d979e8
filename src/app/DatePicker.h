#pragma once

#include <QDate>
#include <QDateEdit>

// A date field with a drop-down calendar that can also hold no date. Without a date it shows
// "не задана", and its calendar opens at today's month instead of the empty date's.
class DatePicker : public QDateEdit {
    Q_OBJECT
public:
    explicit DatePicker(QWidget* parent = nullptr);

    // A null date clears the field.
    void setPickedDate(const QDate& date);
    // The date held, or a null date when there is none.
    QDate pickedDate() const;
    bool hasDate() const;

    // The day the calendar opens at when the field holds no date.
    void setToday(const QDate& today) { today_ = today; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The lowest date doubles as "no date"; QDateEdit then shows the special text.
    static QDate noDate();

    QDate today_ = QDate::currentDate();
};
