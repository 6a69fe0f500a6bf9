#pragma once

#include <QString>
#include <QStringView>

#include <optional>

// One lock the editor holds: the plugin that holds it (or "startup") and the
// server-relative path of a file or folder, "/" separated.
struct pair
{
    QString key;
    QString path;

    // A line of the lock list file, "key,path" with or without its line end.
    // The path has its white space simplified; a line that does not split
    // into exactly two non-empty parts gives nothing.
    static std::optional<pair> fromLine(QStringView line);
    // The line written for this lock, "\r\n" included.
    QString toLine() const;
    // False when the text holds a "," or a line break: its line would not
    // read back as the same lock.
    static bool fitsLine(QStringView text);

    friend bool operator==(const pair &, const pair &) = default;
};
