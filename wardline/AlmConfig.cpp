#include "AlmConfig.h"

#include "interface/IDebug.h"
#include "logFlags.h"

#include <QDateTime>
#include <QLibrary>

AlmConfig::AlmConfig(const QString &fileName, const QString &filePath, int instance, const QString &moduleName,
                     const QString &name, std::unique_ptr<QLibrary> library, IDebug *debug)
    : m_fileName(fileName), m_filePath(filePath), m_instance(instance), m_moduleName(moduleName), m_name(name),
      m_library(std::move(library)), m_debug(debug)
{
}

void AlmConfig::appendLog(const QString &message)
{
    const QString line =
        QDateTime::currentDateTime().toString(QStringLiteral("dd/MM/yy hh:mm:ss.zzz")) + QLatin1Char(' ') + message;
    const QMutexLocker locker(&m_logLock);
    while (m_log.size() >= MaxLogLines)
        m_log.removeFirst();
    m_log.append(line);
    m_changed = true;
}

// The library stays mapped: QLibrary objects of one module share a handle,
// and unloading it through one of them (Qt 6.4, name given without "lib" and
// ".so") takes the code away from the others' module objects.
AlmConfig::~AlmConfig()
{
    if (m_debug)
        m_debug->debug(0, QString(),
                       QStringLiteral("AlmConfig destructor %1").arg(reinterpret_cast<quintptr>(this), 0, 16));
}

QStringList AlmConfig::takeLog()
{
    const QMutexLocker locker(&m_logLock);
    m_changed = false;
    return m_log;
}

bool AlmConfig::logChanged() const
{
    const QMutexLocker locker(&m_logLock);
    return m_changed;
}

void *AlmConfig::resolveEntryPoint(const char *name)
{
    void *entry = nullptr;
    if (m_library) {
        if (!m_library->isLoaded() && !m_library->load())
            log(QStringLiteral("Unable to load input/output library !"));
        if (m_library->isLoaded())
            entry = reinterpret_cast<void *>(m_library->resolve(name));
    } else {
        log(QStringLiteral("Unable to load input/output library !"));
    }
    log(QStringLiteral("Loaded '%1' at %2").arg(QLatin1String(name)).arg(reinterpret_cast<quintptr>(entry), 0, 16));
    return entry;
}

// The engine's debug output.
void AlmConfig::log(const QString &line) const
{
    if (m_debug)
        m_debug->debug(logFlags::Wardline, QString(), line);
}
