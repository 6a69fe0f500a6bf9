#include "configHighlighter.h"

#include <QFileInfo>

configHighlighter::configHighlighter(QTextDocument *document)
    : QSyntaxHighlighter(document)
{
    m_tag.setForeground(QColor(0x1f, 0x4e, 0x9c));
    m_tag.setFontWeight(QFont::Bold);
    m_attribute.setForeground(QColor(0x8a, 0x3f, 0x9b));
    m_value.setForeground(QColor(0xb0, 0x4a, 0x12));
    m_comment.setForeground(QColor(0x5f, 0x7f, 0x5f));
    m_comment.setFontItalic(true);
    m_section.setForeground(QColor(0x1f, 0x4e, 0x9c));
    m_section.setFontWeight(QFont::Bold);
    m_key.setForeground(QColor(0x8a, 0x3f, 0x9b));
}

configHighlighter::Language configHighlighter::languageFor(const QString &fileName)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == u"xml")
        return Xml;
    if (suffix == u"ini" || suffix == u"cfg")
        return Ini;
    return Plain;
}

void configHighlighter::setLanguage(Language language)
{
    if (language == m_language)
        return;
    m_language = language;
    rehighlight();
}

void configHighlighter::highlightBlock(const QString &text)
{
    if (m_language == Xml)
        highlightXml(text);
    else if (m_language == Ini)
        highlightIni(text);
}

void configHighlighter::highlightXml(const QString &text)
{
    const qsizetype n = text.size();
    int state = previousBlockState() < 0 ? InText : previousBlockState();
    qsizetype i = 0;
    // Colours from `from` up to `to`, or to the end of the line when the
    // closing mark is not on it.
    const auto until = [&](qsizetype from, const QString &mark, const QTextCharFormat &format, int nextState) {
        const qsizetype end = text.indexOf(mark, from);
        if (end < 0) {
            setFormat(int(i), int(n - i), format);
            i = n;
            return;
        }
        setFormat(int(i), int(end + mark.size() - i), format);
        i = end + mark.size();
        state = nextState;
    };
    while (i < n) {
        switch (state) {
        case InText: {
            const qsizetype open = text.indexOf(QLatin1Char('<'), i);
            if (open < 0) {
                i = n;
                break;
            }
            i = open;
            if (QStringView(text).mid(i).startsWith(u"<!--")) {
                state = InComment;
                until(i + 4, QStringLiteral("-->"), m_comment, InText);
            } else if (QStringView(text).mid(i).startsWith(u"<![CDATA[")) {
                state = InCData;
                until(i + 9, QStringLiteral("]]>"), m_value, InText);
            } else {
                qsizetype end = i + 1;
                if (end < n && (text.at(end) == u'/' || text.at(end) == u'?' || text.at(end) == u'!'))
                    ++end;
                while (end < n && !text.at(end).isSpace() && text.at(end) != u'>' && text.at(end) != u'/')
                    ++end;
                setFormat(int(i), int(end - i), m_tag);
                i = end;
                state = InTag;
            }
            break;
        }
        case InTag: {
            const QChar c = text.at(i);
            if (c.isSpace() || c == u'=') {
                ++i;
            } else if (c == u'>') {
                setFormat(int(i), 1, m_tag);
                ++i;
                state = InText;
            } else if ((c == u'/' || c == u'?') && i + 1 < n && text.at(i + 1) == u'>') {
                setFormat(int(i), 2, m_tag);
                i += 2;
                state = InText;
            } else if (c == u'"' || c == u'\'') {
                state = c == u'"' ? InDoubleQuoted : InSingleQuoted;
                until(i + 1, QString(c), m_value, InTag);
            } else {
                qsizetype end = i + 1;
                while (end < n && !text.at(end).isSpace() && text.at(end) != u'=' && text.at(end) != u'>'
                       && text.at(end) != u'/')
                    ++end;
                setFormat(int(i), int(end - i), m_attribute);
                i = end;
            }
            break;
        }
        case InComment:
            until(i, QStringLiteral("-->"), m_comment, InText);
            break;
        case InDoubleQuoted:
            until(i, QStringLiteral("\""), m_value, InTag);
            break;
        case InSingleQuoted:
            until(i, QStringLiteral("'"), m_value, InTag);
            break;
        case InCData:
            until(i, QStringLiteral("]]>"), m_value, InText);
            break;
        default: // a state of another language: start afresh
            state = InText;
            break;
        }
    }
    setCurrentBlockState(state);
}

void configHighlighter::highlightIni(const QString &text)
{
    qsizetype start = 0;
    while (start < text.size() && text.at(start).isSpace())
        ++start;
    if (start == text.size())
        return;
    const QChar first = text.at(start);
    if (first == u';' || first == u'#') {
        setFormat(int(start), int(text.size() - start), m_comment);
    } else if (first == u'[') {
        const qsizetype close = text.indexOf(QLatin1Char(']'), start);
        setFormat(int(start), int((close < 0 ? text.size() : close + 1) - start), m_section);
    } else if (const qsizetype equals = text.indexOf(QLatin1Char('='), start); equals > 0) {
        setFormat(int(start), int(equals - start), m_key);
        setFormat(int(equals + 1), int(text.size() - equals - 1), m_value);
    }
}
