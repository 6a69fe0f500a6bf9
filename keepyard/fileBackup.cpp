#include "fileBackup.h"

#include "keepyard_log.h"
#include "protocol.h"
#include "tavex_disklog.h"
#include "xfer.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <ctime>

quint32 fileBackup::tickCount()
{
    struct timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<quint32>(quint64(now.tv_sec) * 1000 + quint64(now.tv_nsec) / 1000000);
}

fileBackup::fileBackup(const QString &root, const QString &system, const QString &path, const QString &owner,
                       Mode mode)
{
    const QString systemFolder = protocol::wirePath(root + QLatin1Char('/') + system);
    const QString current = systemFolder + QLatin1Char('/') + path;
    const QString fileName = path.section(QLatin1Char('/'), -1);
    const QString backupFolder = systemFolder + QStringLiteral("/backup/");

    // A new tick for every copy, so that two versions kept within one
    // millisecond still get names of their own.
    do {
        m_copyName = fileName + QLatin1Char('.') + QString::number(tickCount());
    } while (QFileInfo::exists(backupFolder + m_copyName));
    m_backupPath = backupFolder + m_copyName;

    qCDebug(lcKeepyard).noquote() << QStringLiteral("trying to rename ") + current + QStringLiteral(" to ") + m_backupPath;
    xfer::makePath(m_backupPath);
    if (QFileInfo(current).isFile()) {
        if (mode == Move)
            QFile::rename(current, m_backupPath);
        else
            xfer::keepCopy(current, m_backupPath);
    }

    m_indexPath = QStringLiteral("%1/%2/backup/%3.backup_index")
                      .arg(root, system, QDate::currentDate().toString(QStringLiteral("yyyyMMdd")));
    const QString line = QStringLiteral("%1,%2,%3,%4")
                             .arg(protocol::isoDate(QDateTime::currentDateTime()), path, owner,
                                  QStringLiteral("backup/") + m_copyName);
    tavex_disklog(m_indexPath, line);
}
