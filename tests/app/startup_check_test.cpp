// The start-up check for a TLS library.
#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include "app/StartupCheck.h"

class StartupCheckTest : public QObject {
    Q_OBJECT

private slots:
    void withoutTlsTheOperatorIsToldOnce() {
        QVERIFY(CheckTlsAvailable(true));
        int boxes = 0;
        QString caption;
        QString text;
        QMessageBox::Icon icon = QMessageBox::Warning;
        QMessageBox::StandardButtons buttons;
        // Reads the modal box as the operator sees it, then closes it with OK.
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible()) {
                return;
            }
            ++boxes;
            caption = box->windowTitle();
            text = box->text();
            icon = box->icon();
            buttons = box->standardButtons();
            box->button(QMessageBox::Ok)->click();
        });
        poll.start(20);
        QTimer::singleShot(10000, [] {
            if (QApplication::activeModalWidget()) {
                QApplication::activeModalWidget()->close();
            }
        });

        QVERIFY(!CheckTlsAvailable(false));
        poll.stop();
        QCOMPARE(boxes, 1);
        QCOMPARE(caption, QStringLiteral("Внимание!"));
        QCOMPARE(icon, QMessageBox::NoIcon);
        QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        const QStringList lines = text.split(QStringLiteral("\r\n"));
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[0], QStringLiteral("Программа не нашла свои служебные файлы!"));
        QCOMPARE(lines[1], QStringLiteral("Скорее всего, Вы запустили программу изнутри архива."));
        QVERIFY(
            lines[2].startsWith(QStringLiteral("Для корректной работы программы извлеките ВСЕ")));
        QVERIFY(lines[2].endsWith(QStringLiteral("выбрав пункт меню \"Извлечь все\"")));
    }
};

QTEST_MAIN(StartupCheckTest)
#include "startup_check_test.moc"
