#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// An INI file read and written the way Windows private-profile files are:
// sections and keys match without regard to case, the first match wins,
// values are trimmed (and lose one pair of enclosing quotes), a missing file
// or key reads as the default, integers come from leading decimal digits, and
// a write changes only the key's line, creating the file, section or key where
// missing and keeping every other line as it was.
class profileFile
{
public:
    // Reads the file once; a missing file reads as empty.
    explicit profileFile(const QString &path);

    QString path() const { return m_path; }
    bool exists() const { return m_exists; }

    QString readString(const QString &section, const QString &key, const QString &defaultValue = QString()) const;
    int readInt(const QString &section, const QString &key, int defaultValue) const;
    bool contains(const QString &section, const QString &key) const;
    // Key names of a section in file order (first section of that name).
    QList<QString> keys(const QString &section) const;

    // Re-reads the file, sets the key and writes the file through a temporary
    // file renamed over it. False when the file cannot be written.
    bool writeString(const QString &section, const QString &key, const QString &value);

    // One-shot forms for single reads and writes.
    static QString getString(const QString &path, const QString &section, const QString &key,
                             const QString &defaultValue = QString());
    static int getInt(const QString &path, const QString &section, const QString &key, int defaultValue);
    static bool putString(const QString &path, const QString &section, const QString &key, const QString &value);

private:
    struct Line
    {
        QByteArray raw;     // the line as stored, without its line break
        QString section;    // header lines: the section name
        QString key;        // key lines: the key name
        QString value;      // key lines: the value as read
        enum Kind { Other, Section, Key } kind = Other;
    };

    void load();
    // Index of the key's line in the first section of that name, or -1.
    qsizetype findKey(const QString &section, const QString &key, qsizetype *sectionLine = nullptr) const;

    QString m_path;
    QList<Line> m_lines;
    QByteArray m_newline = "\n";
    bool m_exists = false;
};
