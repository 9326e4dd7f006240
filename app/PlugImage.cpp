#include "PlugImage.h"

#include <QPainter>

QImage PlugImage(bool started, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // Drawn on a 32-unit square, the tray's own size.
    p.scale(size / 32.0, size / 32.0);
    p.setBrush(started ? QColor(40, 160, 60) : QColor(140, 140, 140));
    p.setPen(QPen(QColor(40, 40, 40), 2));
    p.drawRoundedRect(4, 8, 24, 16, 4, 4);
    p.drawLine(10, 8, 10, 2);
    p.drawLine(22, 8, 22, 2);
    p.drawLine(16, 24, 16, 31);
    return image;
}
