#pragma once

#include <QFile>
#include <QString>

// Appends one CR LF terminated line to a text file, opened for the lifetime of
// the object.
class tavex_disklog
{
public:
    tavex_disklog(const QString &fileName, const QString &line);
    ~tavex_disklog();

    bool isOpen() const { return m_file.isOpen(); }

private:
    QFile m_file;
};
