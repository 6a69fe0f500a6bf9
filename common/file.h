#pragma once

#include <QDateTime>
#include <QString>

// One entry of a file list: a path relative to the scanned root ("/"
// separators), its last modification (local time, whole seconds; null for a
// folder) and its size in bytes (0 for a folder).
struct file
{
    QString name;
    QDateTime modified;
    qint64 size = 0;
};
