#pragma once

#include <QHashFunctions>
#include <QString>
#include <QStringView>

#include <optional>

// One file the editor has placed in its local copy of a system: its
// server-relative path and the plugin it was fetched for.
struct downloadEntry
{
    QString path;
    QString key;

    // A line of the download list file, "path,key"; line breaks anywhere in
    // it are dropped. A line that does not split into exactly two non-empty
    // parts gives nothing.
    static std::optional<downloadEntry> fromLine(QStringView line);
    // The line written for this entry, "\r\n" included.
    QString toLine() const;
    // False when the text holds a "," or a line break: its line would not
    // read back as the same entry.
    static bool fitsLine(QStringView text);

    friend bool operator==(const downloadEntry &, const downloadEntry &) = default;
    friend size_t qHash(const downloadEntry &entry, size_t seed = 0) { return qHashMulti(seed, entry.path, entry.key); }
};
