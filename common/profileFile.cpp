#include "profileFile.h"

#include "xfer.h"

#include <QFile>
#include <QStringDecoder>

#include <algorithm>
#include <limits>

namespace {

// Profile files may come from Windows in a local 8-bit code page: text that is
// not valid UTF-8 is read as Latin-1.
QString decode(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(bytes);
    if (utf8.hasError())
        return QString::fromLatin1(bytes);
    return text;
}

QString stripQuotes(const QString &value)
{
    if (value.size() >= 2) {
        const QChar first = value.front();
        if ((first == QLatin1Char('"') || first == QLatin1Char('\'')) && value.back() == first)
            return value.mid(1, value.size() - 2);
    }
    return value;
}

} // namespace

profileFile::profileFile(const QString &path)
    : m_path(path)
{
    load();
}

void profileFile::load()
{
    m_lines.clear();
    QFile in(m_path);
    m_exists = in.open(QIODevice::ReadOnly);
    if (!m_exists)
        return;
    const QByteArray content = in.readAll();
    m_newline = content.contains("\r\n") ? QByteArray("\r\n") : QByteArray("\n");

    qsizetype start = 0;
    while (start < content.size()) {
        qsizetype end = content.indexOf('\n', start);
        if (end < 0)
            end = content.size();
        Line line;
        line.raw = content.mid(start, end - start);
        if (line.raw.endsWith('\r'))
            line.raw.chop(1);
        start = end + 1;

        const QString text = decode(line.raw).trimmed();
        if (text.startsWith(QLatin1Char('['))) {
            const qsizetype close = text.indexOf(QLatin1Char(']'));
            line.kind = Line::Section;
            line.section = (close < 0 ? text.mid(1) : text.mid(1, close - 1)).trimmed();
        } else if (!text.startsWith(QLatin1Char(';'))) {
            const qsizetype eq = text.indexOf(QLatin1Char('='));
            if (eq > 0) {
                line.kind = Line::Key;
                line.key = text.left(eq).trimmed();
                line.value = stripQuotes(text.mid(eq + 1).trimmed());
            }
        }
        m_lines.append(line);
    }
}

qsizetype profileFile::findKey(const QString &section, const QString &key, qsizetype *sectionLine) const
{
    qsizetype inSection = -1;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const Line &line = m_lines.at(i);
        if (line.kind == Line::Section) {
            if (inSection >= 0)
                break; // only the first section of a name counts
            if (line.section.compare(section, Qt::CaseInsensitive) == 0) {
                inSection = i;
                if (sectionLine)
                    *sectionLine = i;
            }
        } else if (inSection >= 0 && line.kind == Line::Key && line.key.compare(key, Qt::CaseInsensitive) == 0) {
            return i;
        }
    }
    return -1;
}

QString profileFile::readString(const QString &section, const QString &key, const QString &defaultValue) const
{
    const qsizetype i = findKey(section, key);
    return i < 0 ? defaultValue : m_lines.at(i).value;
}

int profileFile::readInt(const QString &section, const QString &key, int defaultValue) const
{
    const qsizetype i = findKey(section, key);
    if (i < 0)
        return defaultValue;
    const QString &value = m_lines.at(i).value;
    if (value.isEmpty())
        return defaultValue;
    qsizetype pos = 0;
    bool negative = false;
    if (pos < value.size() && (value.at(pos) == QLatin1Char('-') || value.at(pos) == QLatin1Char('+')))
        negative = value.at(pos++) == QLatin1Char('-');
    qint64 number = 0;
    while (pos < value.size() && value.at(pos).isDigit() && value.at(pos).unicode() < 128) {
        number = number * 10 + (value.at(pos++).unicode() - '0');
        if (number > qint64(std::numeric_limits<int>::max()) + 1)
            break;
    }
    if (negative)
        number = -number;
    return static_cast<int>(std::clamp<qint64>(number, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

bool profileFile::contains(const QString &section, const QString &key) const
{
    return findKey(section, key) >= 0;
}

QList<QString> profileFile::keys(const QString &section) const
{
    QList<QString> result;
    bool inSection = false;
    for (const Line &line : m_lines) {
        if (line.kind == Line::Section) {
            if (inSection)
                break;
            inSection = line.section.compare(section, Qt::CaseInsensitive) == 0;
        } else if (inSection && line.kind == Line::Key) {
            result.append(line.key);
        }
    }
    return result;
}

bool profileFile::writeString(const QString &section, const QString &key, const QString &rawValue)
{
    // A line break in the value would split it into lines of its own.
    QString value = rawValue;
    value.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    load();
    qsizetype sectionLine = -1;
    const qsizetype i = findKey(section, key, &sectionLine);
    if (i >= 0) {
        Line &line = m_lines[i];
        line.raw = line.key.toUtf8() + '=' + value.toUtf8();
        line.value = stripQuotes(value.trimmed());
    } else {
        Line line;
        line.kind = Line::Key;
        line.key = key;
        line.value = stripQuotes(value.trimmed());
        line.raw = key.toUtf8() + '=' + value.toUtf8();
        if (sectionLine >= 0) {
            // After the section's last key (or its header), before any blank lines that end it.
            qsizetype at = sectionLine + 1;
            for (qsizetype j = sectionLine + 1; j < m_lines.size() && m_lines.at(j).kind != Line::Section; ++j) {
                if (m_lines.at(j).kind == Line::Key || !m_lines.at(j).raw.trimmed().isEmpty())
                    at = j + 1;
            }
            m_lines.insert(at, line);
        } else {
            if (!m_lines.isEmpty() && !m_lines.back().raw.trimmed().isEmpty())
                m_lines.append(Line{});
            Line header;
            header.kind = Line::Section;
            header.section = section;
            header.raw = '[' + section.toUtf8() + ']';
            m_lines.append(header);
            m_lines.append(line);
        }
    }

    QByteArray content;
    for (const Line &line : std::as_const(m_lines))
        content += line.raw + m_newline;
    if (xfer::replaceFile(m_path, content))
        return false;
    m_exists = true;
    return true;
}

QString profileFile::getString(const QString &path, const QString &section, const QString &key,
                               const QString &defaultValue)
{
    return profileFile(path).readString(section, key, defaultValue);
}

int profileFile::getInt(const QString &path, const QString &section, const QString &key, int defaultValue)
{
    return profileFile(path).readInt(section, key, defaultValue);
}

bool profileFile::putString(const QString &path, const QString &section, const QString &key, const QString &value)
{
    return profileFile(path).writeString(section, key, value);
}
