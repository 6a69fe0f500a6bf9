#include "homePage.h"

#include "messageBar.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

homePage::homePage(QWidget *parent)
    : config_plugin_base(parent)
{
    setObjectName(QStringLiteral("homePage"));
    auto *title = new QLabel(QStringLiteral("<h2>Configuration editor</h2>"), this);
    m_session = new QLabel(this);
    m_session->setObjectName(QStringLiteral("session"));
    m_session->setTextFormat(Qt::RichText);

    auto *editorsBox = new QGroupBox(QStringLiteral("Editors"), this);
    m_editors = new QLabel(editorsBox);
    m_editors->setObjectName(QStringLiteral("editorLinks"));
    m_editors->setTextFormat(Qt::RichText);
    m_editors->setWordWrap(true);
    connect(m_editors, &QLabel::linkActivated, this, [this](const QString &key) { emit command(QStringLiteral("navigate"), key); });
    (new QVBoxLayout(editorsBox))->addWidget(m_editors);

    auto *locksBox = new QGroupBox(QStringLiteral("Locks held by this editor"), this);
    m_locks = new QTreeWidget(locksBox);
    m_locks->setObjectName(QStringLiteral("lockTable"));
    m_locks->setHeaderLabels({QStringLiteral("Path"), QStringLiteral("Held for")});
    m_locks->setRootIsDecorated(false);
    m_locks->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_release = new QPushButton(QStringLiteral("&Release lock"), locksBox);
    m_release->setObjectName(QStringLiteral("releaseButton"));
    m_release->setEnabled(false);
    m_release->setToolTip(QStringLiteral("Give the selected lock back to the server, whichever editor holds it"));
    auto *refresh = new QPushButton(QStringLiteral("Re&fresh"), locksBox);
    refresh->setObjectName(QStringLiteral("refreshButton"));
    connect(m_locks, &QTreeWidget::itemSelectionChanged, this,
            [this] { m_release->setEnabled(!m_locks->selectedItems().isEmpty()); });
    connect(m_release, &QPushButton::clicked, this, &homePage::releaseSelected);
    connect(refresh, &QPushButton::clicked, this, &homePage::refresh);
    auto *lockLayout = new QVBoxLayout(locksBox);
    lockLayout->addWidget(m_locks);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(refresh);
    buttons->addWidget(m_release);
    lockLayout->addLayout(buttons);

    m_message = new messageBar(this);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addWidget(m_session);
    layout->addWidget(editorsBox);
    layout->addWidget(locksBox, 1);
    layout->addWidget(m_message);
}

void homePage::setActive(bool active)
{
    if (active)
        refresh();
}

void homePage::refresh()
{
    emit command(QStringLiteral("session"), QString());
    emit command(QStringLiteral("editors"), QString());
    emit command(QStringLiteral("locks"), QString());
}

void homePage::commsEvent(response &result)
{
    const QStringList lines = result.message.isEmpty() ? QStringList() : result.message.split(QLatin1Char('\n'));
    if (result.operation == u"session") {
        showSession(lines);
    } else if (result.operation == u"editors") {
        showEditors(lines);
    } else if (result.operation == u"locks") {
        showLocks(lines);
    } else if (result.operation == u"unlock" || result.operation == u"unlockDir") {
        if (result.status == response::Done)
            m_message->say(QStringLiteral("The lock on %1 was given back.").arg(result.path), messageBar::Success);
        else
            m_message->say(QStringLiteral("The server did not release %1: %2").arg(result.path, result.message.trimmed()),
                           messageBar::Error);
        emit command(QStringLiteral("locks"), QString());
    }
}

void homePage::showSession(const QStringList &lines)
{
    const QStringList labels{QStringLiteral("Server"), QStringLiteral("System"), QStringLiteral("User"),
                             QStringLiteral("Level")};
    QString rows;
    for (qsizetype i = 0; i < labels.size(); ++i)
        rows += QStringLiteral("<tr><td><b>%1</b></td><td>%2</td></tr>").arg(labels.at(i), lines.value(i).toHtmlEscaped());
    m_session->setText(QStringLiteral("<table cellspacing=4>") + rows + QStringLiteral("</table>"));
}

void homePage::showEditors(const QStringList &keys)
{
    QString links;
    for (const QString &key : keys) {
        if (key != uid)
            links += QStringLiteral("<p><a href=\"%1\">%2</a></p>").arg(key.toHtmlEscaped(), key.toHtmlEscaped());
    }
    m_editors->setText(links.isEmpty() ? QStringLiteral("No other editor is offered for this system.") : links);
}

void homePage::showLocks(const QStringList &lines)
{
    m_locks->clear();
    for (const QString &line : lines) {
        const qsizetype comma = line.indexOf(QLatin1Char(','));
        if (comma < 0)
            continue;
        auto *item = new QTreeWidgetItem(m_locks, {line.mid(comma + 1), line.left(comma)});
        item->setToolTip(0, item->text(0));
    }
    m_release->setEnabled(false);
}

void homePage::releaseSelected()
{
    const QList<QTreeWidgetItem *> selected = m_locks->selectedItems();
    if (selected.isEmpty())
        return;
    const QString path = selected.first()->text(0);
    m_message->say(QStringLiteral("Releasing %1 ...").arg(path));
    emit command(QStringLiteral("releaseLock"), path);
}

QString homePage::about()
{
    return QStringLiteral("<p>The start page: the connection, the editors of this system and the locks held.</p>");
}
