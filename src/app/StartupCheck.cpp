#include "app/StartupCheck.h"

#include <QMessageBox>

bool CheckTlsAvailable(bool hasTls, QWidget* parent) {
    if (hasTls) {
        return true;
    }
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Внимание!"),
                    QStringLiteral("Программа не нашла свои служебные файлы!\r\n"
                                   "Скорее всего, Вы запустили программу изнутри архива.\r\n"
                                   "Для корректной работы программы извлеките ВСЕ файлы программы "
                                   "из архива в отдельную папку, и затем запускайте программу. "
                                   "Это можно сделать, кликнув правой кнопкой мыши на архиве и "
                                   "выбрав пункт меню \"Извлечь все\""),
                    QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("TlsMissingBox"));
    box.exec();
    return false;
}
