#include "LoadDirectory.h"

#include "AlmConfig.h"
#include "interface/IDebug.h"
#include "logFlags.h"
#include "moduleListObserver.h"
#include "profileFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLibrary>
#include <QRegularExpression>

#include <cstdlib>

namespace {

// GetPrivateProfileString buffers of the module libraries' hosts.
constexpr qsizetype MaxModuleNameLength = 31;
constexpr qsizetype MaxNameLength = 255;

} // namespace

bool LoadDirectory::fileNameOrder::operator()(const QString &a, const QString &b) const
{
    const int order = QString::compare(a, b, Qt::CaseInsensitive);
    return order != 0 ? order < 0 : a < b;
}

LoadDirectory::LoadDirectory(const Settings &settings) : m_settings(settings)
{
}

LoadDirectory::~LoadDirectory() = default;

int LoadDirectory::initialLoadState() const
{
    return moduleListObserver::NotLoaded;
}

bool LoadDirectory::load()
{
    QElapsedTimer timer;
    timer.start();
    bool ok = true;
    const QString path = folderPath();
    const QDir folder(path);
    if (m_settings.alarmFolder.isEmpty() || !folder.exists()) {
        if (m_settings.observer)
            m_settings.observer->showMessage(
                QStringLiteral("ERROR: Cannot find %1 config directory '%2'").arg(folderName(), path));
        log(QStringLiteral("No alarms %1 directory").arg(folderName()));
        ok = false;
    } else {
        const QFileInfoList files = folder.entryInfoList(QDir::Files, QDir::Name | QDir::IgnoreCase);
        for (const QFileInfo &file : files) {
            const QString fileName = file.fileName();
            const int instance = instanceOf(fileName, filePrefix());
            if (instance < 0)
                continue;
            const profileFile config(file.filePath());
            const QString moduleName = libraryName(
                config.readString(QStringLiteral("System"), QStringLiteral("Module")).left(MaxModuleNameLength),
                m_settings.dbLib);
            const QString name =
                config.readString(QStringLiteral("System"), QStringLiteral("Name")).left(MaxNameLength);
            if (m_settings.observer)
                m_settings.observer->addRow(moduleType(), moduleName, QString::asprintf("%04d", instance), name,
                                            fileName, initialLoadState());
            // A module is named, not located: the configuration files are
            // stored through the server by editors, and must not make the
            // engine load a library from anywhere else on the machine.
            const bool plainName = !moduleName.contains(QLatin1Char('/')) && !moduleName.contains(QLatin1Char('\\'));
            auto library = std::make_unique<QLibrary>();
            QString loadError;
            if (!plainName) {
                loadError = QStringLiteral("Module name '%1' is not a plain library name").arg(moduleName);
            } else if (library->setFileName(libraryPath(moduleName)); !library->load()) {
                loadError = library->errorString();
                if (!m_settings.installedModules.isEmpty()) {
                    auto installed =
                        std::make_unique<QLibrary>(m_settings.installedModules + QLatin1Char('/') + moduleName);
                    if (installed->load()) {
                        log(QStringLiteral("Loaded %1 '%2' from '%3'")
                                .arg(folderName(), moduleName, m_settings.installedModules));
                        library = std::move(installed);
                        loadError.clear();
                    }
                }
            }
            if (!loadError.isEmpty()) {
                log(QStringLiteral("Unable to load %1 '%2' from /windows/lib/alarms/ in '%3'")
                        .arg(folderName(), moduleName, m_settings.libraryFolder));
                ok = false;
            }
            AlmConfig *record = createRecord(fileName, instance, moduleName, name, std::move(library));
            // The loader's reason, for the operator who selects the row.
            if (record && !loadError.isEmpty())
                record->appendLog(loadError);
        }
    }
    QString kind = folderName();
    if (!kind.isEmpty())
        kind[0] = kind[0].toUpper();
    log(QStringLiteral("Load Directory %1 took: %2 ms").arg(kind).arg(timer.elapsed()));
    return ok;
}

bool LoadDirectory::loadAll(LoadDirectory &inputs, LoadDirectory &outputs)
{
    try {
        const QString alarmFolder = inputs.settings().alarmFolder;
        if (alarmFolder.isEmpty() || !QDir(alarmFolder).exists()) {
            if (IDebug *debug = inputs.settings().debug)
                debug->debug(0, QString(), QStringLiteral("Can't find config folder '%1'").arg(alarmFolder));
            return false;
        }
        const bool inputsOk = inputs.load();
        const bool outputsOk = outputs.load();
        return inputsOk && outputsOk;
    } catch (...) {
        if (IDebug *debug = inputs.settings().debug)
            debug->debug(0, QString(), QStringLiteral("Load Directory - Unknown exception"));
        std::exit(1);
    }
}

// "al_acq_0003.cfg" in any case gives 3; the "." before "cfg" stands for any
// character. Only ASCII digits count, so that every accepted name has a number.
int LoadDirectory::instanceOf(const QString &fileName, const QString &prefix)
{
    const QRegularExpression pattern(QStringLiteral("^%1([0-9]{4}).cfg\\z").arg(QRegularExpression::escape(prefix)),
                                     QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = pattern.match(fileName.toLower());
    if (!match.hasMatch())
        return -1;
    return match.captured(1).toInt();
}

QString LoadDirectory::libraryName(const QString &moduleName, bool dbLib)
{
    if (dbLib && moduleName.size() > 2 && !moduleName.endsWith(QLatin1String("db"), Qt::CaseInsensitive))
        return moduleName + QLatin1String("db");
    return moduleName;
}

QString LoadDirectory::folderPath() const
{
    return m_settings.alarmFolder + QLatin1Char('/') + folderName();
}

QString LoadDirectory::libraryPath(const QString &moduleName) const
{
    return m_settings.libraryFolder + QStringLiteral("/windows/lib/alarms/") + moduleName;
}

QString LoadDirectory::installedModuleFolder()
{
#ifdef TAVEX_MODULES_FROM_BIN
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QLatin1Char('/')
                           + QStringLiteral(TAVEX_MODULES_FROM_BIN));
#else
    return QString();
#endif
}

void LoadDirectory::reportHealth(const QString &fileName, int health) const
{
    if (m_settings.observer)
        m_settings.observer->setHealth(fileName, health);
}

void LoadDirectory::reportLoadState(const QString &fileName, int loadState) const
{
    if (m_settings.observer)
        m_settings.observer->setLoadState(fileName, loadState);
}

// The engine's debug output.
void LoadDirectory::log(const QString &line) const
{
    if (m_settings.debug)
        m_settings.debug->debug(logFlags::Wardline, QString(), line);
}
