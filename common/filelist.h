#pragma once

#include "file.h"

#include <QList>
#include <QRegularExpression>
#include <QStringList>

class QTextStream;

// The contents of a folder tree as a flat list of entries; compares two lists
// and writes one as the "data" lines of a synchronisation message.
class filelist
{
public:
    struct exclusion
    {
        QRegularExpression pattern;
        bool wildcard = false; // a wildcard must match the whole name, others anywhere in it
    };

    filelist() = default;

    // Appends the entries of root/relative and below; a folder's entry is
    // followed by its contents. Valid when the folder exists.
    void scan(const QString &root, const QString &relative = QString());

    // Fills added, changed, removed and, unless skipUnchanged, unchanged; this
    // list is the master, `other` the slave.
    void compare(const filelist &other, bool skipUnchanged);

    bool isValid() const { return valid; }
    void setValid() { valid = true; }

    // One "\t<data .../>\r\n" line per entry; nothing when the list is not valid.
    void write(QTextStream &out) const;
    QByteArray toData() const;

    // Appends one entry as received from the peer.
    void append(const file &entry) { entries.append(entry); }

    // Skipped at the top level of the root: lower-case file names.
    void addExcludedName(const QString &lowerCaseName) { excludedNames.append(lowerCaseName); }
    // Skipped at every depth.
    void addExclusion(const QString &pattern, bool wildcard);

    QList<file> entries;
    QList<file> added;
    QList<file> changed;
    QList<file> removed;
    QList<file> unchanged;
    QStringList excludedNames;
    QList<exclusion> exclusions;
    bool skipUnchanged = false;
    bool valid = false;

private:
    void scanFolder(const QString &root, const QString &relative, QSet<QString> &visited);
    bool isExcluded(const QString &name, bool topLevel) const;
};

// Compiled into every program that carries the file list code.
extern const char filelistSignature[];
