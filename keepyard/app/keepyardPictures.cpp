#include "keepyardPictures.h"

#include <QFont>
#include <QPainter>

namespace {

const QColor navy(0x20, 0x38, 0x64);
const QColor steel(0x8f, 0xb0, 0xd8);
const QColor amber(0xf0, 0xb4, 0x00);
const QColor white(Qt::white);

// A server cabinet with three bays; drawn without antialiasing so that it
// keeps to its four colours.
void drawCabinet(QPainter &p, const QPoint &at)
{
    p.save();
    p.translate(at);
    p.fillRect(4, 0, 22, 30, navy);
    for (int bay = 0; bay < 3; ++bay) {
        const int y = 3 + bay * 8;
        p.fillRect(7, y, 16, 6, steel);
        p.fillRect(9, y + 2, 8, 2, white);
        p.fillRect(19, y + 2, 2, 2, amber);
    }
    p.restore();
}

} // namespace

QPixmap keepyardWindowIcon()
{
    QPixmap picture(30, 30);
    picture.fill(white);
    QPainter p(&picture);
    drawCabinet(p, QPoint(0, 0));
    return picture;
}

QPixmap keepyardAboutLogo()
{
    QPixmap picture(112, 52);
    picture.fill(navy);
    QPainter p(&picture);
    drawCabinet(p, QPoint(4, 11));
    p.setRenderHint(QPainter::TextAntialiasing);
    QFont font = p.font();
    font.setPixelSize(20);
    font.setBold(true);
    p.setFont(font);
    p.setPen(white);
    const QRect name(38, 8, 70, 28);
    p.drawText(name, Qt::AlignCenter, QStringLiteral("TAVEX"));
    p.fillRect(42, 38, 62, 3, amber);
    return picture;
}
