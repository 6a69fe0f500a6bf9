#include "downloadListView.h"

#include "download_list.h"
#include "lock_list.h"
#include "setdesk_log.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QScrollBar>
#include <QTimerEvent>

namespace {

constexpr int pollInterval = 2000;

// Adds `child` below the top-level item named `top`, creating that opened.
void addUnder(QTreeWidget *tree, QHash<QString, QTreeWidgetItem *> &tops, const QString &top, const QString &child)
{
    QTreeWidgetItem *&parent = tops[top];
    if (!parent) {
        parent = new QTreeWidgetItem(tree, QStringList(top));
        parent->setExpanded(true);
    }
    new QTreeWidgetItem(parent, QStringList(child));
}

} // namespace

downloadListView::downloadListView(int mode, const QString &system, QWidget *parent, Qt::WindowFlags flags)
    : QWidget(parent, flags)
    , m_mode(mode)
{
    setupUi(this);
    if (m_mode == lockedFiles) {
        setWindowTitle(QStringLiteral("List of locked files"));
        m_path = lock_list::filePath(system);
    } else {
        setWindowTitle(QStringLiteral("List of downloaded files"));
        m_path = download_list::filePath(system);
    }
    // The first look comes at once, the later ones every 2 s.
    m_timer = startTimer(1);
}

void downloadListView::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timer) {
        QWidget::timerEvent(event);
        return;
    }
    killTimer(m_timer);
    m_timer = startTimer(pollInterval);
    poll();
}

void downloadListView::poll()
{
    const QFileInfo info(m_path);
    if (!info.exists())
        qCDebug(lcSetdesk).noquote() << QStringLiteral("Config. Editor: file \"") + m_path
                + QStringLiteral("\" does not exist");
    const QDateTime modified = info.exists() ? info.lastModified() : QDateTime();
    if (modified != m_modified)
        reload();
    m_modified = modified;
}

void downloadListView::reload()
{
    const int pluginScroll = pluginListView->verticalScrollBar()->value();
    const int fileScroll = fileListView->verticalScrollBar()->value();
    const int rawScroll = fileView->verticalScrollBar()->value();
    pluginListView->clear();
    fileListView->clear();

    QByteArray content;
    QFile in(m_path);
    if (in.open(QIODevice::ReadOnly))
        content = in.readAll();

    // Each line split at ",", its parts shown as stored; the raw page shows
    // the file unchanged.
    QHash<QString, QTreeWidgetItem *> plugins;
    QHash<QString, QTreeWidgetItem *> files;
    for (const QByteArray &bytes : content.split('\n')) {
        QString line = QString::fromUtf8(bytes);
        line.remove(QLatin1Char('\r'));
        const QStringList parts = line.split(QLatin1Char(','));
        if (parts.size() != 2)
            continue;
        const QString &plugin = m_mode == lockedFiles ? parts.at(0) : parts.at(1);
        const QString &file = m_mode == lockedFiles ? parts.at(1) : parts.at(0);
        addUnder(pluginListView, plugins, plugin, file);
        addUnder(fileListView, files, file, plugin);
    }
    fileView->setPlainText(QString::fromUtf8(content));

    // The scroll bars learn their new ranges only when the views lay out.
    pluginListView->doItemsLayout();
    fileListView->doItemsLayout();
    pluginListView->verticalScrollBar()->setValue(pluginScroll);
    fileListView->verticalScrollBar()->setValue(fileScroll);
    fileView->verticalScrollBar()->setValue(rawScroll);
}
