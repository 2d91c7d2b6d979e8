#include "app/DatePicker.h"

#include <QCalendarWidget>
#include <QEvent>

DatePicker::DatePicker(QWidget* parent) : QDateEdit(parent) {
    setCalendarPopup(true);
    setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
    setMinimumDate(noDate());
    setSpecialValueText(QStringLiteral("не задана"));
    // The popup sets the calendar to the held date just before it is shown; the filter then
    // turns the page to today when there is no date to show.
    calendarWidget()->installEventFilter(this);
}

QDate DatePicker::noDate() {
    return QDate(1899, 12, 30);
}

void DatePicker::setPickedDate(const QDate& date) {
    setDate(date.isValid() && date > noDate() ? date : noDate());
}

QDate DatePicker::pickedDate() const {
    return hasDate() ? date() : QDate();
}

bool DatePicker::hasDate() const {
    return date() != noDate();
}

bool DatePicker::eventFilter(QObject* watched, QEvent* event) {
    if (watched == calendarWidget() && event->type() == QEvent::Show && !hasDate()) {
        calendarWidget()->setCurrentPage(today_.year(), today_.month());
    }
    return QDateEdit::eventFilter(watched, event);
}
