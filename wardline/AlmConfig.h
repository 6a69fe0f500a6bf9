#pragma once

#include "interface/IAppendLog.h"

#include <QLibrary>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <memory>

class IDebug;

// One module instance, made from one configuration file: its library, its
// instance number and its message log. AcqConfig and OutConfig add the
// module object and the event interfaces.
class AlmConfig : public IAppendLog
{
public:
    static constexpr qsizetype MaxLogLines = 1000;

    // `library` may be not loaded (the load failed); it is loaded again when
    // the module object is made.
    AlmConfig(const QString &fileName, const QString &filePath, int instance, const QString &moduleName,
              const QString &name, std::unique_ptr<QLibrary> library, IDebug *debug);
    AlmConfig(const AlmConfig &) = delete;
    AlmConfig &operator=(const AlmConfig &) = delete;

    // Adds "dd/MM/yy hh:mm:ss.zzz message"; callable from any thread.
    void appendLog(const QString &message) override;
    virtual ~AlmConfig();

    // The log lines, oldest first; clears the changed flag (the window shows them).
    QStringList takeLog();
    bool logChanged() const;

    QString fileName() const { return m_fileName; }
    QString filePath() const { return m_filePath; }
    int instance() const { return m_instance; }
    QString moduleName() const { return m_moduleName; }
    QString name() const { return m_name; }
    QLibrary *library() const { return m_library.get(); }
    IDebug *debugInterface() const { return m_debug; }

protected:
    // Loads the library when needed and looks the entry point up, with the
    // lines "Unable to load input/output library !" and "Loaded '<name>' at <address>".
    void *resolveEntryPoint(const char *name);
    void log(const QString &line) const;

private:
    QString m_fileName;
    QString m_filePath;
    int m_instance;
    QString m_moduleName;
    QString m_name;
    std::unique_ptr<QLibrary> m_library;
    IDebug *m_debug;

    mutable QMutex m_logLock;
    QStringList m_log;
    bool m_changed = false;
};
