#include "colouringSettings.h"

#include "profileFile.h"

namespace {

const QString colouringSection = QStringLiteral("Colouring");
const QString greeningSection = QStringLiteral("Greening");
const QString reddingSection = QStringLiteral("Redding");

bool isTrue(const QString &value)
{
    return value.compare(QLatin1String("TRUE"), Qt::CaseInsensitive) == 0;
}

// Reads and writes back the way the private-profile calls did: texts of at
// most 255 characters, integers with -1 standing for "missing".
class greeningIni
{
public:
    explicit greeningIni(const QString &path)
        : m_file(path)
    {
    }

    QString text(const QString &section, const QString &key) const
    {
        return m_file.readString(section, key).left(colouringSettings::maxTextLength);
    }

    void write(const QString &section, const QString &key, const QString &value)
    {
        if (!m_file.writeString(section, key, value))
            m_writeFailed = true;
    }

    // The value, or the default (then written) when the key is missing.
    int number(const QString &section, const QString &key, int defaultValue)
    {
        const int value = m_file.readInt(section, key, -1);
        if (value != -1)
            return value;
        write(section, key, QString::number(defaultValue));
        return defaultValue;
    }

    bool writeFailed() const { return m_writeFailed; }

private:
    profileFile m_file;
    bool m_writeFailed = false;
};

} // namespace

colouringSettings loadColouringSettings(const QString &alarmFolder, const std::function<void(const QString &)> &debug)
{
    const auto say = [&debug](const QString &line) {
        if (debug)
            debug(line);
    };
    const QString path = alarmFolder + QLatin1Char('/') + colouringSettings::fileName();
    say(QStringLiteral("Greening ini file=%1").arg(path));

    colouringSettings settings;
    greeningIni ini(path);
    const QString enable = ini.text(colouringSection, QStringLiteral("EnableSetInitialState"));
    const QString initialOk = ini.text(greeningSection, QStringLiteral("SetInitialStateOK"));
    const QString initialFail = ini.text(reddingSection, QStringLiteral("SetInitialStateFail"));
    say(QStringLiteral("Greening ini file contains EnableSetInitialState='%1', SetInitialStateOK='%2', "
                       "SetInitialStateFail='%3'")
            .arg(enable, initialOk, initialFail));

    // Files older than the switch enable colouring by asking for a run.
    if (isTrue(enable)) {
        settings.enabled = true;
    } else if (enable.isEmpty()) {
        settings.enabled = isTrue(initialOk);
        ini.write(colouringSection, QStringLiteral("EnableSetInitialState"),
                  settings.enabled ? QStringLiteral("true") : QStringLiteral("false"));
    }

    if (isTrue(initialOk))
        settings.initialMode = 1;
    else if (initialOk.isEmpty())
        ini.write(greeningSection, QStringLiteral("SetInitialStateOK"), QStringLiteral("false"));
    const int greeningRun = ini.number(greeningSection, QStringLiteral("SetInitialStateOKTimeout"), colouringSettings::defaultRunLength);
    settings.greeningLoop = ini.number(greeningSection, QStringLiteral("AutomaticGreeningTimeout"), colouringSettings::defaultLoop);

    // Redding wins when both runs are asked for.
    if (isTrue(initialFail))
        settings.initialMode = 2;
    else if (initialFail.isEmpty())
        ini.write(reddingSection, QStringLiteral("SetInitialStateFail"), QStringLiteral("false"));
    const int reddingRun = ini.number(reddingSection, QStringLiteral("SetInitialStateFailTimeout"), colouringSettings::defaultRunLength);
    settings.reddingLoop = ini.number(reddingSection, QStringLiteral("AutomaticReddingTimeout"), colouringSettings::defaultLoop);

    settings.runLength = settings.initialMode == 1 ? greeningRun : settings.initialMode == 2 ? reddingRun : 0;
    if (!settings.enabled)
        settings.initialMode = 0;

    if (ini.writeFailed())
        say(QStringLiteral("Greening ini file %1 cannot be written").arg(path));
    say(QStringLiteral("loadColouringSettings() Initial State = %1, SetInitialStateOK/FailTimeout=%2, "
                       "AutomaticGreeningTimeout=%3, AutomaticReddingTimeout=%4")
            .arg(settings.initialMode)
            .arg(settings.runLength)
            .arg(settings.greeningLoop)
            .arg(settings.reddingLoop));
    return settings;
}
