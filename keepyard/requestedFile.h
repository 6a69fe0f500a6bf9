#pragma once

#include "xfer.h"

#include <QByteArray>
#include <QFileInfo>
#include <QString>

class compressedFileCache;

// A file named in a download request. Looked up when its element ends; read
// and compressed (on any thread) only when the reply reaches it, so that a
// session holds the content of a few files at a time, however many it asks for.
class requestedFile
{
public:
    // `name` as the peer wrote it; `systemFolder` is the server path of the
    // system, `systemValid` whether the request's system name was one.
    requestedFile(const QString &systemFolder, bool systemValid, const QString &name);

    const QString &name() const { return m_name; }
    const QString &serverPath() const { return m_serverPath; }
    // Bytes it will read: the size when it was looked up (0 when missing).
    qint64 expectedBytes() const { return m_expectedBytes; }
    bool isPrepared() const { return m_prepared; }

    // Reads and compresses the file through the server's cache. Safe on a
    // worker thread; a second call does nothing.
    void prepare(compressedFileCache &files);

    // The reply's element for the file, in the pieces it is sent in (the
    // content is a piece of its own, shared, not copied). Only after prepare().
    QByteArrayList replyPieces() const;
    // The log line's words once it went out; empty when it was not found.
    QString sentLogText(const QString &user, const QString &peer) const;

private:
    QString m_name;       // the requested name, "/" separated
    QString m_serverPath; // below the system folder
    bool m_allowed = false; // false: the name would leave the system folder, it is not read
    bool m_isFile = false;
    qint64 m_expectedBytes = 0;
    bool m_prepared = false;
    bool m_found = false;
    QByteArray m_hex;
    xfer::readStamp m_read; // size and date of the content in m_hex
};
