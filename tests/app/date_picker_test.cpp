// The date field that can hold no date.
#include <QCalendarWidget>
#include <QLineEdit>
#include <QtTest>

#include "app/DatePicker.h"

class DatePickerTest : public QObject {
    Q_OBJECT

private slots:
    void holdsADateOrNone() {
        DatePicker picker;
        picker.setPickedDate(QDate(2026, 2, 1));
        QVERIFY(picker.hasDate());
        QCOMPARE(picker.pickedDate(), QDate(2026, 2, 1));
        QCOMPARE(picker.text(), QStringLiteral("01.02.2026"));

        picker.setPickedDate(QDate());
        QVERIFY(!picker.hasDate());
        QVERIFY(picker.pickedDate().isNull());
        QCOMPARE(picker.text(), QStringLiteral("не задана"));

        // The day that stands for "no date" cannot come back as a date.
        picker.setPickedDate(QDate(1899, 12, 30));
        QVERIFY(picker.pickedDate().isNull());
        picker.setPickedDate(QDate(1899, 12, 31));
        QCOMPARE(picker.pickedDate(), QDate(1899, 12, 31));
    }

    void calendarOfAnEmptyFieldOpensAtToday() {
        DatePicker picker;
        picker.setToday(QDate(2026, 12, 8));
        picker.setPickedDate(QDate());
        picker.resize(120, 24);
        picker.show();
        QVERIFY(QTest::qWaitForWindowExposed(&picker));

        // Press the drop-down arrow, as the operator does.
        const QPoint arrow = QPoint(picker.width() - 6, picker.height() / 2);
        QTest::mouseMove(&picker, arrow);
        QTest::mousePress(&picker, Qt::LeftButton, {}, arrow);
        QCalendarWidget* calendar = picker.calendarWidget();
        QTRY_VERIFY(calendar->isVisible());
        QCOMPARE(calendar->yearShown(), 2026);
        QCOMPARE(calendar->monthShown(), 12);
        // Opening the calendar does not put a date into the field.
        QVERIFY(!picker.hasDate());

        // Picking a day fills the field.
        calendar->setSelectedDate(QDate(2026, 12, 3));
        QCOMPARE(picker.pickedDate(), QDate(2026, 12, 3));
    }
};

QTEST_MAIN(DatePickerTest)
#include "date_picker_test.moc"
