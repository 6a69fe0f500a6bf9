#pragma once

#include "request_handler.h"

// "lock" and "unlock": each "file" or "dir" child locks or unlocks one path of
// the system for the session's owner key.
class lock_handler : public request_handler
{
public:
    using request_handler::request_handler;

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;

    // A name that can be stored as a lock: not empty, no "=" or line break
    // (they would corrupt the lock file), and not leaving the system folder.
    static bool isLockableName(const QString &path);

private:
    void lockChild(const QString &child);
    void unlockChild(const QString &child);

    QString m_element;
    QString m_system;
    QString m_uid;
    QString m_name;
    int m_depth = 0; // only the outermost element opens and closes the reply
};
