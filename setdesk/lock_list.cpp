#include "lock_list.h"

#include "clientFolder.h"
#include "protocol.h"
#include "setdesk_log.h"
#include "xfer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>

#include <memory>

namespace {

// The list all handles share; it exists while at least one handle does.
struct sharedLocks
{
    QString file; // empty: the list lives in memory only
    QList<pair> pairs;
    int handles = 0;
    bool changed = false;
};

std::unique_ptr<sharedLocks> &shared()
{
    static std::unique_ptr<sharedLocks> list;
    return list;
}

void load(sharedLocks &list)
{
    QFile in(list.file);
    if (!in.open(QIODevice::ReadOnly)) {
        // Created now so that the save at the end finds its folder.
        QDir().mkpath(QFileInfo(list.file).absolutePath());
        return;
    }
    while (!in.atEnd()) {
        if (const std::optional<pair> lock = pair::fromLine(QString::fromUtf8(in.readLine())))
            list.pairs.append(*lock);
    }
}

void save(const sharedLocks &list)
{
    QDir().mkpath(QFileInfo(list.file).absolutePath());
    QByteArray content;
    for (const pair &lock : list.pairs)
        content += lock.toLine().toUtf8();
    // Written beside the file and renamed over it: a failed or interrupted
    // write leaves the previous list whole.
    if (xfer::replaceFile(list.file, content))
        qCWarning(lcSetdesk).noquote() << QStringLiteral("Can't write lock list file %1").arg(list.file);
}

} // namespace

lock_list::lock_list(const QString &system)
{
    if (!shared()) {
        shared() = std::make_unique<sharedLocks>();
        shared()->file = filePath(system);
        if (shared()->file.isEmpty())
            qCWarning(lcSetdesk).noquote()
                << QStringLiteral("No lock list file for system \"%1\"; locks are kept in memory only").arg(system);
        else
            load(*shared());
    }
    ++shared()->handles;
}

lock_list::~lock_list()
{
    sharedLocks &list = *shared();
    const bool last = --list.handles == 0;
    // Changes are written when the handle that made them goes, not only with
    // the last one: a download reply holds a handle for its whole length.
    if (list.changed && !list.file.isEmpty() && (last || m_changed)) {
        save(list);
        list.changed = false;
    }
    if (last)
        shared().reset();
}

QString lock_list::filePath(const QString &system)
{
    const QString folder = clientFolder::path();
    // The system name comes from the server; it must not lead out of clientDir.
    if (folder.isEmpty() || !protocol::staysBelow(system))
        return QString();
    return folder + QLatin1String("/lockLists/") + protocol::wirePath(system) + QLatin1String("/lock_list.txt");
}

int lock_list::handleCount()
{
    return shared() ? shared()->handles : 0;
}

bool lock_list::add(const QString &key, const QString &path)
{
    shared()->changed = true;
    m_changed = true;
    if (key.isEmpty() || path.isEmpty())
        return false;
    // Such a lock would not load back from the file (its line splits into
    // other parts), so it is not stored at all rather than lost later.
    if (!pair::fitsLine(key) || !pair::fitsLine(path))
        return false;
    if (!isLockedBy(key, path))
        shared()->pairs.append(pair{key, path});
    return true;
}

void lock_list::remove(const QString &key, const QString &path)
{
    if (key.isEmpty() || path.isEmpty())
        return;
    if (shared()->pairs.removeIf([&](const pair &lock) { return lock.key == key && lock.path == path; }) > 0)
        shared()->changed = m_changed = true;
}

void lock_list::removePath(const QString &path)
{
    if (path.isEmpty())
        return;
    if (shared()->pairs.removeIf([&](const pair &lock) { return lock.path == path; }) > 0)
        shared()->changed = m_changed = true;
}

bool lock_list::isLocked(const QString &path) const
{
    for (const pair &lock : std::as_const(shared()->pairs)) {
        if (lock.path == path)
            return true;
    }
    return false;
}

bool lock_list::isLockedBy(const QString &key, const QString &path) const
{
    for (const pair &lock : std::as_const(shared()->pairs)) {
        if (lock.key != key)
            continue;
        if (lock.path == path) {
            qCDebug(lcSetdesk).noquote() << "LL: exact match";
            return true;
        }
        // A held folder covers everything below it, but not a sibling that
        // merely shares the start of its name.
        if (path.size() > lock.path.size() && path.startsWith(lock.path)
            && path.at(lock.path.size()) == QLatin1Char('/')) {
            qCDebug(lcSetdesk).noquote() << QStringLiteral("LL: starts with: ") + lock.path + QStringLiteral("/ key=")
                    + key;
            return true;
        }
    }
    return false;
}

QList<pair> lock_list::pairs() const
{
    return shared()->pairs;
}

qsizetype lock_list::size() const
{
    return shared()->pairs.size();
}

QString lock_list::locksReport() const
{
    QString text = QStringLiteral("<p>This configuration editor still has locks on the following paths:</p>"
                                  "<qt><table border=1>"
                                  "<tr><th>File</th><th>Plugin</th></tr>");
    // Escaped, so that a "<" or "&" in a name shows as itself.
    for (const pair &lock : std::as_const(shared()->pairs))
        text += QStringLiteral("<tr><td>") + lock.path.toHtmlEscaped() + QStringLiteral(" </td><td>")
            + lock.key.toHtmlEscaped() + QStringLiteral("</td></tr>");
    text += QStringLiteral("</table>"
                           "<p>This information is provided as plugins should not leave any files locked out of "
                           "the server with this version of the configuration editor</p></qt>");
    return text;
}

bool lock_list::showLocksReport(QWidget *parent) const
{
    if (isEmpty())
        return false;
    QMessageBox box(QMessageBox::Information, QStringLiteral("TAVEX - Configuration Editor - Information"),
                    locksReport(), QMessageBox::Ok, parent);
    box.setTextFormat(Qt::RichText);
    box.exec();
    return true;
}
