#include "requestedFile.h"

#include "compressedFileCache.h"
#include "protocol.h"

requestedFile::requestedFile(const QString &systemFolder, bool systemValid, const QString &name)
    : m_name(protocol::wirePath(name)), m_serverPath(systemFolder + QLatin1Char('/') + m_name)
{
    // A name that would leave the system folder is answered like a missing file, unread.
    m_allowed = systemValid && protocol::staysBelow(m_name);
    if (m_allowed) {
        const QFileInfo info(m_serverPath);
        m_isFile = info.isFile();
        m_expectedBytes = m_isFile ? info.size() : 0;
    }
}

void requestedFile::prepare(compressedFileCache &files)
{
    if (m_prepared)
        return;
    m_found = m_allowed && m_isFile && !files.compressedFile(m_serverPath, m_hex, m_read);
    m_prepared = true;
}

QByteArrayList requestedFile::replyPieces() const
{
    if (!m_found) {
        return {QStringLiteral("\t<file name=\"%1\" type=\"error\">\r\n\t\t<message>File \"%2\" cannot be found</message>\r\n"
                               "\t</file>\r\n")
                    .arg(protocol::escape(m_name), protocol::escape(m_serverPath))
                    .toUtf8()};
    }
    return {QByteArray("\t<file "),
            QStringLiteral("type=\"reply\" name=\"%1\" size=\"%2\" compressedsize=\"%3\" date=\"%4\" >")
                .arg(protocol::escape(m_name), QString::number(m_read.size), QString::number(m_hex.size() / 2),
                     QString::fromLatin1(protocol::localIsoDate(m_read.modified)))
                .toUtf8(),
            m_hex, QByteArray("</file>\r\n")};
}

QString requestedFile::sentLogText(const QString &user, const QString &peer) const
{
    if (!m_found)
        return QString();
    return QStringLiteral("File '%1' sent to '%2' at '%3'").arg(m_serverPath, user, peer);
}
