#include "procDefDocument.h"

#include "utf8Text.h"

#include <algorithm>

namespace {

const QString inputsKey = QStringLiteral("inputs");
const QString inputKey = QStringLiteral("input");
const QString maskKey = QStringLiteral("mask");

// A key the library would read back as the same key on a line of its own.
bool isKeyName(const QString &key)
{
    return !key.isEmpty() && key == key.trimmed() && !key.contains(QLatin1Char('=')) && !key.contains(QLatin1Char('\n'))
           && !key.contains(QLatin1Char('\r')) && !key.contains(QChar(0)) && !key.startsWith(QLatin1Char('['))
           && !key.startsWith(QLatin1Char(';')) && !key.startsWith(QLatin1Char('#'));
}

bool isOneLine(const QString &text)
{
    return !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')) && !text.contains(QChar(0));
}

} // namespace

bool procDefDocument::fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

bool procDefDocument::isHeader(const QByteArray &text)
{
    // As the engine reads it: the trimmed line is "[" name "]".
    const QByteArray t = text.trimmed();
    return t.size() >= 2 && t.startsWith('[') && t.endsWith(']');
}

procDefDocument::bodyLine procDefDocument::classify(const QByteArray &text)
{
    // As the rule parser reads a body line.
    bodyLine b;
    const QString t = QString::fromUtf8(text).trimmed();
    if (t.isEmpty()) {
        b.kind = blankLine;
    } else if (t.startsWith(QLatin1Char(';')) || t.startsWith(QLatin1Char('#'))) {
        b.kind = commentLine;
    } else if (const qsizetype eq = t.indexOf(QLatin1Char('=')); eq > 0) {
        b.kind = keyLine;
        b.key = t.left(eq).trimmed();
        b.value = t.mid(eq + 1).trimmed();
    }
    return b;
}

bool procDefDocument::load(QByteArrayView content, QString *error)
{
    m_bom.clear();
    m_eol = lfEnd;
    m_lines.clear();
    m_processes.clear();
    m_byName.clear();
    if (content.size() > maxBytes)
        return fail(error, QStringLiteral("the file holds %1 bytes, more than the %2 MiB this editor opens")
                               .arg(content.size())
                               .arg(maxBytes / (1024 * 1024)));
    const QByteArrayView body = utf8Text::withoutBom(content);
    if (body.size() != content.size())
        m_bom = content.first(content.size() - body.size()).toByteArray();
    const qsizetype lineCount = body.count('\n') + 1;
    if (lineCount > maxLines)
        return fail(error, QStringLiteral("the file has %1 lines, more than the %2 this editor opens").arg(lineCount).arg(maxLines));

    m_lines.reserve(size_t(lineCount));
    bool endSeen = false;
    for (qsizetype start = 0;;) {
        const qsizetype newline = body.indexOf('\n', start);
        textLine l;
        if (newline < 0) {
            l.text = body.sliced(start).toByteArray();
            m_lines.push_back(std::move(l));
            break;
        }
        qsizetype stop = newline;
        l.end = lfEnd;
        if (stop > start && body.at(stop - 1) == '\r') {
            --stop;
            l.end = crLfEnd;
        }
        // New lines take the end of the file's first line.
        if (!endSeen) {
            m_eol = l.end;
            endSeen = true;
        }
        l.text = body.sliced(start, stop - start).toByteArray();
        m_lines.push_back(std::move(l));
        start = newline + 1;
    }

    for (int n = 0; n < int(m_lines.size()); ++n) {
        const QByteArray &text = m_lines[size_t(n)].text;
        if (!isHeader(text))
            continue;
        const QByteArray t = text.trimmed();
        process p;
        p.header = n;
        p.nameOk = utf8Text::decode(t.mid(1, t.size() - 2), p.name);
        m_processes.push_back(std::move(p));
    }
    reindexNames();
    return true;
}

QByteArray procDefDocument::text() const
{
    qsizetype size = m_bom.size();
    for (const textLine &l : m_lines)
        size += l.text.size() + 2;
    QByteArray out;
    out.reserve(size);
    out += m_bom;
    for (const textLine &l : m_lines) {
        out += l.text;
        if (l.end == crLfEnd)
            out += "\r\n";
        else if (l.end == lfEnd)
            out += '\n';
    }
    return out;
}

void procDefDocument::reindexNames()
{
    m_byName.clear();
    m_byName.reserve(qsizetype(m_processes.size()));
    for (int i = 0; i < count(); ++i) {
        if (!m_byName.contains(m_processes[size_t(i)].name))
            m_byName.insert(m_processes[size_t(i)].name, i);
    }
}

QString procDefDocument::header(int i) const
{
    return QString::fromUtf8(m_lines[size_t(m_processes[size_t(i)].header)].text).trimmed();
}

int procDefDocument::indexAtLine(int lineNumber) const
{
    const auto it = std::lower_bound(m_processes.cbegin(), m_processes.cend(), lineNumber - 1,
                                     [](const process &p, int header) { return p.header < header; });
    return it != m_processes.cend() && it->header == lineNumber - 1 ? int(it - m_processes.cbegin()) : -1;
}

int procDefDocument::bodyEnd(int i) const
{
    return i + 1 < count() ? m_processes[size_t(i + 1)].header : int(m_lines.size());
}

QList<procDefDocument::keyValue> procDefDocument::keys(int i) const
{
    QList<keyValue> result;
    for (int n = m_processes[size_t(i)].header + 1; n < bodyEnd(i); ++n) {
        const bodyLine b = classify(m_lines[size_t(n)].text);
        if (b.kind == keyLine)
            result.append({b.key, b.value});
    }
    return result;
}

QList<int> procDefDocument::keyLines(int i, QStringView key) const
{
    QList<int> result;
    for (int n = m_processes[size_t(i)].header + 1; n < bodyEnd(i); ++n) {
        const bodyLine b = classify(m_lines[size_t(n)].text);
        if (b.kind == keyLine && b.key.compare(key, Qt::CaseInsensitive) == 0)
            result.append(n);
    }
    return result;
}

QString procDefDocument::value(int i, QStringView key) const
{
    const QList<int> at = keyLines(i, key);
    return at.isEmpty() ? QString() : classify(m_lines[size_t(at.first())].text).value;
}

bool procDefDocument::hasKey(int i, QStringView key) const
{
    return !keyLines(i, key).isEmpty();
}

QByteArray procDefDocument::withValue(const QByteArray &text, const QString &value) const
{
    // The key as written, "=", and the blanks after it stay.
    qsizetype at = text.indexOf('=') + 1;
    while (at < text.size() && (text.at(at) == ' ' || text.at(at) == '\t'))
        ++at;
    return text.left(at) + value.toUtf8();
}

void procDefDocument::insertLine(int at, const QByteArray &text)
{
    // A file that ends without a line end keeps ending so.
    textLine l;
    l.text = text;
    l.end = m_eol;
    if (at == int(m_lines.size()) && (m_lines.empty() || m_lines.back().end == noEnd)) {
        if (!m_lines.empty())
            m_lines.back().end = m_eol;
        l.end = noEnd;
    }
    m_lines.insert(m_lines.begin() + at, std::move(l));
    for (process &p : m_processes) {
        if (p.header >= at)
            ++p.header;
    }
}

void procDefDocument::removeLines(int first, int n)
{
    if (n <= 0)
        return;
    m_lines.erase(m_lines.begin() + first, m_lines.begin() + first + n);
    for (process &p : m_processes) {
        if (p.header >= first + n)
            p.header -= n;
    }
}

bool procDefDocument::setValue(int i, const QString &key, const QString &value, QString *error)
{
    if (!isKeyName(key))
        return fail(error, QStringLiteral("%1 is not a key").arg(key));
    const QString v = value.trimmed();
    if (!isOneLine(v))
        return fail(error, QStringLiteral("the value of %1 must be one line").arg(key));
    const QList<int> at = keyLines(i, key);
    for (qsizetype k = at.size() - 1; k >= (v.isEmpty() ? 0 : 1); --k)
        removeLines(at.at(k), 1);
    if (v.isEmpty())
        return true;
    if (!at.isEmpty()) {
        textLine &l = m_lines[size_t(at.first())];
        l.text = withValue(l.text, v);
        return true;
    }
    int after = m_processes[size_t(i)].header;
    for (int n = after + 1; n < bodyEnd(i); ++n) {
        if (classify(m_lines[size_t(n)].text).kind == keyLine)
            after = n;
    }
    insertLine(after + 1, (key + QLatin1Char('=') + v).toUtf8());
    return true;
}

QString procDefDocument::refusal(const QString &name, int except) const
{
    if (name.trimmed().isEmpty())
        return QStringLiteral("a process needs a name");
    if (name != name.trimmed())
        return QStringLiteral("a name cannot begin or end with a blank: the processes that read it could not name it");
    if (name.contains(QLatin1Char('[')) || name.contains(QLatin1Char(']')) || name.contains(QLatin1Char(',')))
        return QStringLiteral("a name cannot hold \"[\", \"]\" or \",\"");
    if (!isOneLine(name))
        return QStringLiteral("a name must be one line");
    const int existing = indexOf(name);
    if (existing >= 0 && existing != except)
        return QStringLiteral("there is already a process %1 (line %2)").arg(name).arg(line(existing));
    return QString();
}

QString procDefDocument::freeName(const QString &stem) const
{
    for (int n = 1;; ++n) {
        const QString name = QStringLiteral("%1 %2").arg(stem).arg(n);
        if (indexOf(name) < 0)
            return name;
    }
}

int procDefDocument::add(const QString &name, const QList<keyValue> &keys, QString *error)
{
    if (const QString why = refusal(name); !why.isEmpty()) {
        fail(error, why);
        return -1;
    }
    for (const keyValue &kv : keys) {
        if (!isKeyName(kv.key) || !isOneLine(kv.value.trimmed())) {
            fail(error, QStringLiteral("%1 is not a key and value").arg(kv.key));
            return -1;
        }
    }
    // Before the empty remainder after the file's last line end.
    int at = int(m_lines.size());
    if (!m_lines.empty() && m_lines.back().end == noEnd && m_lines.back().text.trimmed().isEmpty())
        --at;
    if (at > 0 && !m_lines[size_t(at - 1)].text.trimmed().isEmpty())
        insertLine(at++, QByteArray());
    process p;
    p.header = at;
    p.name = name;
    insertLine(at++, '[' + name.toUtf8() + ']');
    m_processes.push_back(std::move(p));
    for (const keyValue &kv : keys) {
        if (!kv.value.trimmed().isEmpty())
            insertLine(at++, (kv.key + QLatin1Char('=') + kv.value.trimmed()).toUtf8());
    }
    if (!m_byName.contains(name))
        m_byName.insert(name, count() - 1);
    return count() - 1;
}

void procDefDocument::remove(int i)
{
    const int header = m_processes[size_t(i)].header;
    const int previousEnd = i > 0 ? m_processes[size_t(i - 1)].header + 1 : 0;
    const bool last = i + 1 == count();
    int first = header;
    int end = bodyEnd(i);
    // Comments right above a header are that process's own.
    if (i > 0) {
        while (first > previousEnd && classify(m_lines[size_t(first - 1)].text).kind == commentLine)
            --first;
    }
    if (!last) {
        while (end - 1 > header && classify(m_lines[size_t(end - 1)].text).kind == commentLine)
            --end;
    } else {
        // The blank lines that parted it from the process before go too.
        while (first > previousEnd && classify(m_lines[size_t(first - 1)].text).kind == blankLine)
            --first;
    }
    m_processes.erase(m_processes.begin() + i);
    removeLines(first, end - first);
    reindexNames();
}

bool procDefDocument::rename(int i, const QString &newName, QString *error)
{
    const QString oldName = name(i);
    if (newName == oldName && nameIsUtf8(i))
        return true;
    if (const QString why = refusal(newName, i); !why.isEmpty())
        return fail(error, why);

    // Others read the first process of a name; a later one of the same name
    // is read by nobody, and a name that is not UTF-8 cannot be told apart.
    if (nameIsUtf8(i) && indexOf(oldName) == i) {
        const auto renamed = [&](const QString &part) {
            // One name of a list, its blanks kept.
            const QString trimmed = part.trimmed();
            if (trimmed != oldName)
                return part;
            qsizetype lead = 0;
            while (lead < part.size() && part.at(lead).isSpace())
                ++lead;
            return part.left(lead) + newName + part.mid(lead + trimmed.size());
        };
        for (int j = 0; j < count(); ++j) {
            for (int n = m_processes[size_t(j)].header + 1; n < bodyEnd(j); ++n) {
                const bodyLine b = classify(m_lines[size_t(n)].text);
                const QString key = b.key.toLower();
                if (b.kind != keyLine || (key != inputsKey && key != inputKey && key != maskKey))
                    continue;
                const QString text = QString::fromUtf8(m_lines[size_t(n)].text);
                const qsizetype eq = text.indexOf(QLatin1Char('='));
                const QString valueText = text.mid(eq + 1);
                QString changed;
                if (key == maskKey) {
                    changed = renamed(valueText);
                } else {
                    QStringList parts = valueText.split(QLatin1Char(','));
                    for (QString &part : parts)
                        part = renamed(part);
                    changed = parts.join(QLatin1Char(','));
                }
                if (changed != valueText)
                    m_lines[size_t(n)].text = (text.left(eq + 1) + changed).toUtf8();
            }
        }
    }

    QByteArray &headerText = m_lines[size_t(m_processes[size_t(i)].header)].text;
    const qsizetype open = headerText.indexOf('[');
    const qsizetype close = headerText.lastIndexOf(']');
    headerText = headerText.left(open + 1) + newName.toUtf8() + headerText.mid(close);
    m_processes[size_t(i)].name = newName;
    m_processes[size_t(i)].nameOk = true;
    reindexNames();
    return true;
}

QList<int> procDefDocument::readers(const QString &name) const
{
    QList<int> result;
    for (int j = 0; j < count(); ++j) {
        bool reads = false;
        for (const keyValue &kv : keys(j)) {
            const QString key = kv.key.toLower();
            if (key == maskKey)
                reads = reads || kv.value == name;
            else if (key == inputsKey || key == inputKey) {
                for (const QString &part : kv.value.split(QLatin1Char(',')))
                    reads = reads || part.trimmed() == name;
            }
        }
        if (reads)
            result.append(j);
    }
    return result;
}
