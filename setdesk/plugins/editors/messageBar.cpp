#include "messageBar.h"

messageBar::messageBar(QWidget *parent)
    : QLabel(parent)
{
    setObjectName(QStringLiteral("messageBar"));
    setWordWrap(true);
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    setMargin(4);
}

void messageBar::say(const QString &text, Kind kind)
{
    static const char *const colours[] = {"palette(window)", "#dcefd8", "#fbeec2", "#f6d3d0"};
    m_kind = kind;
    setText(text);
    setStyleSheet(QStringLiteral("QLabel { background: %1; }").arg(QLatin1String(colours[kind])));
    setProperty("kind", int(kind));
}
