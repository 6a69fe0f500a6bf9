#pragma once

#include "procDefCheck.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <vector>

// One proc_def.cfg as its author wrote it: every line is kept as read, so a
// load and a save without edits give the same bytes (byte-order mark, line
// ends, comments, key spelling and order, keys nobody here knows). Only the
// lines an edit touches are written anew, as UTF-8 with the file's line end.
// Sections are found as the alarm engine finds them.
class procDefDocument
{
public:
    struct keyValue
    {
        QString key;   // as spelled in the file
        QString value; // without the blanks around it
    };

    // Bounds on what the editor opens: a file of 20,000 processes is a few MiB.
    static constexpr qsizetype maxBytes = 16 * 1024 * 1024;
    static constexpr qsizetype maxLines = 1000000;

    // Replaces the document; false with `error` set when the content is
    // beyond the bounds above (the document is then empty).
    bool load(QByteArrayView content, QString *error = nullptr);
    QByteArray text() const;
    bool crLf() const { return m_eol == crLfEnd; }

    int count() const { return int(m_processes.size()); }
    QString name(int i) const { return m_processes[size_t(i)].name; }
    // False when the header's name is not UTF-8 text.
    bool nameIsUtf8(int i) const { return m_processes[size_t(i)].nameOk; }
    // The 1-based line of the process's header, as the checker counts lines.
    int line(int i) const { return m_processes[size_t(i)].header + 1; }
    QString header(int i) const;
    // The first process of that name (the one other processes read), or -1.
    int indexOf(const QString &name) const { return m_byName.value(name, -1); }
    // The process whose header is at a 1-based line, or -1.
    int indexAtLine(int line) const;

    // The Key=Value lines of a process's body, in file order.
    QList<keyValue> keys(int i) const;
    // The value of a key (letter case ignored); empty when absent.
    QString value(int i, QStringView key) const;
    bool hasKey(int i, QStringView key) const;
    // Rewrites the key's line in place, or appends it after the body's last
    // key line; further lines of the same key go, since the library refuses
    // a key given twice. An empty value removes the key.
    bool setValue(int i, const QString &key, const QString &value, QString *error = nullptr);

    // Why a process cannot be called `name` (empty when it can); `except` is
    // the process being renamed.
    QString refusal(const QString &name, int except = -1) const;
    // `stem` followed by the first number that gives a name no process has.
    QString freeName(const QString &stem) const;
    // Appends a process; its index, or -1 with `error` set.
    int add(const QString &name, const QList<keyValue> &keys, QString *error = nullptr);
    void remove(int i);
    // Renames a process and the references to it in Inputs=, Input= and Mask=.
    bool rename(int i, const QString &newName, QString *error = nullptr);
    // The processes whose Inputs=, Input= or Mask= name `name`.
    QList<int> readers(const QString &name) const;

    // What keeps the file from loading cleanly in the alarm engine.
    QList<procDefCheck::problem> check() const { return procDefCheck::check(text()); }

private:
    enum lineEnd : quint8 { noEnd, lfEnd, crLfEnd };
    struct textLine
    {
        QByteArray text; // without its line end
        lineEnd end = noEnd;
    };
    struct process
    {
        int header = 0; // 0-based line
        QString name;
        bool nameOk = true;
    };
    enum lineKind { blankLine, commentLine, keyLine, otherLine };
    struct bodyLine
    {
        lineKind kind = otherLine;
        QString key; // trimmed, for key lines
        QString value;
    };

    static bool isHeader(const QByteArray &text);
    static bodyLine classify(const QByteArray &text);
    int bodyEnd(int i) const;
    // The body lines of process i holding `key`, in file order.
    QList<int> keyLines(int i, QStringView key) const;
    QByteArray withValue(const QByteArray &text, const QString &value) const;
    void insertLine(int at, const QByteArray &text);
    void removeLines(int first, int count);
    void reindexNames();
    static bool fail(QString *error, const QString &text);

    QByteArray m_bom;
    lineEnd m_eol = lfEnd;
    std::vector<textLine> m_lines;
    std::vector<process> m_processes;
    QHash<QString, int> m_byName;
};
