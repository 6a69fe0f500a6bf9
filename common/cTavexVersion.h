#pragma once

#include <QString>

// The version strings of a program or library file, read from the file on disk
// without running it. Each is null when the file does not carry it.
class cTavexVersion
{
public:
    explicit cTavexVersion(const QString &path);
    virtual ~cTavexVersion();

    QString comments() const { return m_comments; }
    QString internalName() const { return m_internalName; }
    QString productName() const { return m_productName; }
    QString companyName() const { return m_companyName; }
    QString legalNotice() const { return m_legalNotice; }
    QString productVersion() const { return m_productVersion; }
    QString legalTrademarks() const { return m_legalTrademarks; }
    QString privateBuild() const { return m_privateBuild; }
    QString resourceFileName() const { return m_resourceFileName; }
    QString specialBuild() const { return m_specialBuild; }
    QString fileVersion() const { return m_fileVersion; }
    QString fileDescription() const { return m_fileDescription; }
    QString fileName() const { return m_fileName; }

    // The payload of the file's version note, or an empty array.
    static QByteArray readVersionNote(const QString &path);

private:
    QString m_comments;
    QString m_internalName;
    QString m_productName;
    QString m_companyName;
    QString m_legalNotice;
    QString m_productVersion;
    QString m_legalTrademarks;
    QString m_privateBuild;
    QString m_resourceFileName;
    QString m_specialBuild;
    QString m_fileVersion;
    QString m_fileDescription;
    QString m_fileName;
};
