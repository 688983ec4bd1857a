#include "shell/ApplicationIcon.h"

#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace shell {

// A telephone handset on a rounded tile, with two arcs for the voice.
QImage DrawApplicationIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 64.0, size / 64.0);

    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x1F, 0x5F, 0x9F));
    painter.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);

    QPainterPath handset;
    handset.moveTo(14, 18);
    handset.cubicTo(14, 14, 18, 12, 22, 14);
    handset.lineTo(26, 22);
    handset.cubicTo(27, 25, 25, 27, 23, 28);
    handset.cubicTo(25, 35, 29, 39, 36, 41);
    handset.cubicTo(37, 39, 39, 37, 42, 38);
    handset.lineTo(50, 42);
    handset.cubicTo(52, 46, 50, 50, 46, 50);
    handset.cubicTo(28, 50, 14, 36, 14, 18);
    handset.closeSubpath();
    painter.setBrush(Qt::white);
    painter.drawPath(handset);

    QPen arcs(QColor(0xFF, 0xD0, 0x40), 3.5, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(arcs);
    painter.setBrush(Qt::NoBrush);
    painter.drawArc(QRectF(30, 10, 24, 24), 0 * 16, 90 * 16);
    painter.drawArc(QRectF(36, 4, 24, 24), 10 * 16, 70 * 16);
    painter.end();
    return image;
}

QIcon ApplicationIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128}) {
        icon.addPixmap(QPixmap::fromImage(DrawApplicationIcon(size)));
    }
    return icon;
}

}  // namespace shell
