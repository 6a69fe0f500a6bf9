#include "pathDisplay.h"

#include "pathDisplayLabel.h"
#include "setdesk_log.h"

#include <QHBoxLayout>
#include <QLabel>

namespace {

constexpr int rowSpacing = 4;

} // namespace

pathDisplay::pathDisplay(QWidget *parent)
    : QWidget(parent)
{
    setPath(QString());
}

void pathDisplay::setPath(const QString &key)
{
    // A click on a part may lead here while that part is still handling its
    // mouse event, so the old labels go later, from the event loop.
    for (QLabel *label : std::as_const(m_parts)) {
        label->hide();
        label->disconnect(this);
        label->deleteLater();
    }
    for (QLabel *label : std::as_const(m_separators)) {
        label->hide();
        label->deleteLater();
    }
    m_parts.clear();
    m_separators.clear();
    delete m_row;
    m_row = new QHBoxLayout(this);
    m_row->setSpacing(rowSpacing);
    m_row->setContentsMargins(4, 0, 4, 0);
    m_path = key;
    // An empty row keeps the height of one line, so the editor below does
    // not move when a path appears.
    m_tallest = fontMetrics().height();

    const QStringList names = key.isEmpty() ? QStringList() : key.split(QLatin1Char('/'));
    QString cumulative;
    for (qsizetype i = 0; i < names.size(); ++i) {
        cumulative += names.at(i);
        auto *part = new pathDisplayLabel(names.at(i), cumulative, this);
        m_row->addWidget(part);
        part->show();
        connect(part, &pathDisplayLabel::clicked, this, &pathDisplay::labelClicked);
        if (m_keys.contains(cumulative)) {
            QPalette palette = part->palette();
            palette.setColor(QPalette::WindowText, Qt::blue);
            part->setPalette(palette);
            part->setCursor(Qt::PointingHandCursor);
        }
        m_parts.append(part);
        m_tallest = qMax(m_tallest, part->sizeHint().height());
        if (i + 1 < names.size()) {
            auto *separator = new QLabel(QStringLiteral(">"), this);
            m_row->addWidget(separator);
            separator->show();
            m_separators.append(separator);
            m_tallest = qMax(m_tallest, separator->sizeHint().height());
            cumulative += QLatin1Char('/');
        }
    }
    m_row->addItem(new QSpacerItem(10, 10, QSizePolicy::Expanding, QSizePolicy::Minimum));
    updateGeometry();
}

QSize pathDisplay::sizeHint() const
{
    return QSize(30, m_tallest);
}

void pathDisplay::labelClicked()
{
    const auto *part = qobject_cast<const pathDisplayLabel *>(sender());
    if (!part)
        return;
    const QString path = part->path();
    qCDebug(lcSetdesk).noquote() << QStringLiteral("label has been clicked: ") + path;
    emit command(QStringLiteral("navigate"), path);
}
