#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

// The listing a "dir" command answers with: one entry per file and folder
// below the folder asked for, names relative to it, folders without a date.
class dirListing
{
public:
    struct entry
    {
        QString name; // relative to the listed folder, "/" separators
        QDateTime date;
        qint64 size = 0;
        bool isFolder() const { return !date.isValid(); }
    };

    static QList<entry> parse(const QString &message);
};
