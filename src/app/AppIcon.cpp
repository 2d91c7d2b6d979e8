#include "app/AppIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

QPixmap DrawQuorvaneIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);

    // The sheet.
    p.setPen(QPen(QColor(0x1b, 0x5e, 0x20), 1.2));
    p.setBrush(QColor(0xe8, 0xf5, 0xe9));
    p.drawRoundedRect(QRectF(3, 2, 19, 25), 2, 2);
    p.setPen(QPen(QColor(0x66, 0xbb, 0x6a), 1.6, Qt::SolidLine, Qt::RoundCap));
    for (int y = 8; y <= 20; y += 4) {
        p.drawLine(QPointF(7, y), QPointF(18, y));
    }

    // The refusal mark.
    p.setPen(QPen(QColor(0xc6, 0x28, 0x28), 2.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(6, 5), QPointF(11, 10));
    p.drawLine(QPointF(11, 5), QPointF(6, 10));

    // The magnifying glass.
    p.setPen(QPen(QColor(0x21, 0x21, 0x21), 3.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(24.5, 24.5), QPointF(30, 30));
    p.setPen(QPen(QColor(0x2e, 0x7d, 0x32), 2.4));
    p.setBrush(QColor(255, 255, 255, 170));
    p.drawEllipse(QPointF(20, 20), 6.5, 6.5);
    return pixmap;
}

QIcon QuorvaneIcon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128}) {
        icon.addPixmap(DrawQuorvaneIcon(size));
    }
    return icon;
}
