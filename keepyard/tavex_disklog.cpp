#include "tavex_disklog.h"

#include "keepyard_log.h"

tavex_disklog::tavex_disklog(const QString &fileName, const QString &line)
    : m_file(fileName)
{
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        qCDebug(lcKeepyard).noquote() << QStringLiteral("Can't open log file of ") + fileName;
        return;
    }
    if (!line.isEmpty()) {
        // One write of the whole line: appends of other writers never land inside it.
        m_file.write(line.toUtf8() + "\r\n");
        m_file.flush();
    }
}

tavex_disklog::~tavex_disklog() = default;
