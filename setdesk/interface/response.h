#pragma once

#include <QMetaType>
#include <QString>

// One outcome the connection reports to a plugin.
struct response
{
    enum Status {
        Done = 0,         // succeeded; the path is held by the requester (or a lock, unlock or upload succeeded)
        Failed = 1,       // failed; message says why
        DoneReadOnly = 2, // the file is in the local copy, not held by the requester
        BatchEnd = 3      // the end of one download or upload request's results
    };

    response(int status, const QString &operation, const QString &path, const QString &message)
        : status(status), operation(operation), path(path), message(message)
    {
    }

    int status;
    QString operation; // "lock", "lockDir", "unlock", "unlockDir", "download", "upload" or "dir"
    QString path;      // server-relative, "/" separators
    QString message;
};
