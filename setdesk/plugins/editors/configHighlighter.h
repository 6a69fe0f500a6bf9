#pragma once

#include <QSyntaxHighlighter>
#include <QTextCharFormat>

// Colours configuration files by their kind, chosen from the file's suffix:
// XML (tags, attributes, values, comments), INI (sections, keys, values,
// ";" and "#" comment lines), anything else plain.
class configHighlighter : public QSyntaxHighlighter
{
    Q_OBJECT

public:
    enum Language { Plain, Xml, Ini };

    explicit configHighlighter(QTextDocument *document);

    static Language languageFor(const QString &fileName);
    void setLanguage(Language language);
    Language language() const { return m_language; }

protected:
    void highlightBlock(const QString &text) override;

private:
    // Where an XML line ends, carried to the next line as the block state.
    enum XmlState { InText, InTag, InComment, InDoubleQuoted, InSingleQuoted, InCData };

    void highlightXml(const QString &text);
    void highlightIni(const QString &text);

    Language m_language = Plain;
    QTextCharFormat m_tag;
    QTextCharFormat m_attribute;
    QTextCharFormat m_value;
    QTextCharFormat m_comment;
    QTextCharFormat m_section;
    QTextCharFormat m_key;
};
