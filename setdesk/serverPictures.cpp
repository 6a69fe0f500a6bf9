#include "serverPictures.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

constexpr int side = 32;

// A tower case with a drive slot and a power light, left of centre so that
// each picture has room for its mark on the right.
void drawServer(QPainter &p, const QColor &light)
{
    p.setPen(QPen(QColor(40, 40, 48), 1.2));
    p.setBrush(QColor(182, 188, 200));
    p.drawRoundedRect(QRectF(5.5, 3.5, 15, 25), 2, 2);
    p.setBrush(QColor(96, 104, 120));
    for (int i = 0; i < 3; ++i)
        p.drawRect(QRectF(8.5, 7.5 + 4 * i, 9, 2));
    p.setPen(Qt::NoPen);
    p.setBrush(light);
    p.drawEllipse(QPointF(13, 24), 1.8, 1.8);
}

QPixmap blank()
{
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

} // namespace

QIcon automaticServerIcon()
{
    QPixmap pixmap = blank();
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    drawServer(p, QColor(40, 200, 60));
    // Waves: the server answered the broadcast.
    p.setPen(QPen(QColor(20, 110, 220), 1.8, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    for (int r = 4; r <= 10; r += 3)
        p.drawArc(QRectF(22 - r, 9 - r, 2 * r, 2 * r), -50 * 16, 100 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(20, 110, 220));
    p.drawEllipse(QPointF(22, 9), 1.6, 1.6);
    return QIcon(pixmap);
}

QIcon manualServerIcon()
{
    QPixmap pixmap = blank();
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    drawServer(p, QColor(230, 160, 30));
    // A pencil: the server was entered by hand.
    p.translate(25, 18);
    p.rotate(45);
    p.setPen(QPen(QColor(60, 40, 20), 1));
    p.setBrush(QColor(250, 200, 60));
    p.drawRect(QRectF(-2, -9, 4, 13));
    QPainterPath tip;
    tip.moveTo(-2, 4);
    tip.lineTo(2, 4);
    tip.lineTo(0, 8);
    tip.closeSubpath();
    p.setBrush(QColor(240, 215, 170));
    p.drawPath(tip);
    p.setBrush(QColor(230, 110, 120));
    p.drawRect(QRectF(-2, -11, 4, 2));
    return QIcon(pixmap);
}
