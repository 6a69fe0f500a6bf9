#include <alarms_module.h>

#include <QSettings>

#include <vector>

namespace {

// Every input reads [Constant] Value= of the instance's configuration file;
// [Constant] Count= says how many inputs there are.
class constantModule : public alarms_input_base
{
public:
    bool initialise(const QString &configFile, const QString &, int, IAlarmEventAcq *) override
    {
        const QSettings config(configFile, QSettings::IniFormat);
        const int value = config.value(QStringLiteral("Constant/Value"), 0).toInt();
        const int count = qMax(1, config.value(QStringLiteral("Constant/Count"), 1).toInt());
        m_values.assign(size_t(count), value);
        m_ok = true;
        return true;
    }

    bool getData(int **data, int *length) override
    {
        *data = m_values.data();
        *length = int(m_values.size());
        return m_ok;
    }

    int getRxCount() override { return m_ok ? 1 : 0; }
    bool getStatusOk() override { return m_ok; }
    QString getClassName() override { return QStringLiteral("constantModule"); }

private:
    std::vector<int> m_values;
    bool m_ok = false;
};

} // namespace

ALARMS_MODULE_EXPORT alarms_input_base *createNewInput(IDebug *, IAppendLog *, int, DebugIdManager *)
{
    return new constantModule;
}
