#include "processEngine.h"

#include "CRuleKernel.h"
#include "procDefFile.h"

#include <QElapsedTimer>
#include <QFile>

#include <algorithm>

processEngine::processEngine(output out)
    : m_out(std::move(out))
{
}

processEngine::~processEngine() = default;

void processEngine::clear()
{
    m_processList.clear();
    m_kernels.clear();
    m_names.clear();
    m_states.clear();
    m_done.clear();
    m_errors.clear();
    m_displayed.clear();
    m_saved.clear();
    m_keepsState.clear();
    m_hasSavedStates = false;
}

int processEngine::startupDelayMs() const
{
    return std::clamp(startupMsPerProcess * count(), minStartupDelayMs, maxStartupDelayMs);
}

bool processEngine::load(const QString &alarmFolder, const QHash<QString, int> &savedStates,
                         const QHash<QString, int64_t> &overrideEndTimes)
{
    QFile file(alarmFolder + QStringLiteral("/proc_def.cfg"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    clear();

    const QByteArray content = file.readAll();
    int stray = 0;
    QElapsedTimer timer;
    timer.start();
    int lineCount = 0;
    const std::vector<procDefFile::section> sections = procDefFile::read(content, &stray, [&](int line, int lines) {
        lineCount = lines;
        if (m_out.progress)
            m_out.progress(line, lines);
    });
    if (m_out.show) {
        // Read with replacement characters, names apart only in such a byte
        // would be one name to the state file and to the rules.
        for (const procDefFile::section &s : sections) {
            if (!s.nameOk)
                m_out.show(QStringLiteral("ERROR - proc_def.cfg line %1: the process name is not UTF-8 text. Its state "
                                          "is not kept.")
                               .arg(s.line));
        }
    }
    if (stray && m_out.debug)
        m_out.debug(QStringLiteral("%1 lines before the first process of proc_def.cfg are ignored").arg(stray));

    for (int position = 0; position < int(sections.size()); ++position) {
        auto kernel = std::make_unique<CRuleKernel>(position, sections[size_t(position)].name.toUtf8().constData(), false);
        m_names << QString::fromUtf8(kernel->ProcName());
        m_keepsState.push_back(sections[size_t(position)].nameOk);
        m_processList << kernel.get();
        m_kernels.push_back(std::move(kernel));
    }
    if (m_out.logFile)
        m_out.logFile(QStringLiteral("Load process names took: %1 ms").arg(timer.elapsed()));

    timer.restart();
    for (int position = 0; position < int(sections.size()); ++position) {
        const procDefFile::section &s = sections[size_t(position)];
        CRuleKernel &kernel = *m_kernels[size_t(position)];
        if (QString::fromUtf8(kernel.ProcName()) != s.name) {
            if (m_out.debug)
                m_out.debug(QStringLiteral("!!!!HELP"));
            continue;
        }
        QByteArray block = procDefFile::loadable(s);
        if (!kernel.LoadSettings(block.data(), static_cast<unsigned long>(block.size())) && m_out.debug)
            m_out.debug(QStringLiteral("Failed to load settings for %1\n").arg(QString::fromUtf8(s.firstLine)));
        if (!s.nameOk)
            continue;
        const auto state = savedStates.constFind(s.name);
        if (state != savedStates.constEnd())
            kernel.setInitialState(*state);
        const auto end = overrideEndTimes.constFind(s.name);
        if (end != overrideEndTimes.constEnd())
            kernel.SetOverrideEndTime(*end);
    }
    if (m_out.logFile) {
        m_out.logFile(QStringLiteral("Load process settings took: %1 ms").arg(timer.elapsed()));
        m_out.logFile(QStringLiteral("There are %1 processes.").arg(count()));
    }

    const size_t n = m_kernels.size();
    m_states.assign(n, -1);
    m_done.assign(n, 0);
    m_errors.assign(n, -1);
    m_displayed.assign(n, -1);
    m_saved.assign(n, -1);
    for (size_t i = 0; i < n; ++i)
        m_saved[i] = m_keepsState[i] ? savedStates.value(m_names.at(qsizetype(i)), -1) : -1;
    m_hasSavedStates = !savedStates.isEmpty();
    // Whatever the file held, its progress ends with the load.
    if (m_out.progress)
        m_out.progress(lineCount, lineCount);
    return true;
}

void processEngine::resetArrays()
{
    std::fill(m_states.begin(), m_states.end(), -1);
    std::fill(m_done.begin(), m_done.end(), 0);
    std::fill(m_errors.begin(), m_errors.end(), -1);
}

void processEngine::setUpProcesses(const std::function<int(int, int)> &input, int64_t now, cycleResult &result)
{
    const int n = count();
    for (int i = 0; i < n; ++i) {
        CRuleKernel &kernel = *m_kernels[size_t(i)];
        kernel.InitProc(m_states.data(), m_done.data(), m_errors.data(), n);
        const int64_t end = kernel.GetOverrideEndTime();
        if (end != 0) {
            // The earliest end still ahead wakes the next cycle. An end
            // already past is passed over: a process that cannot be
            // calculated keeps it, and it would hide the ends of others.
            if (end >= now && (result.nextEndTime == 0 || end < result.nextEndTime))
                result.nextEndTime = end;
            if (m_out.debug)
                m_out.debug(QStringLiteral("Process %1 override end time %2. Next %3")
                                .arg(kernel.GetProcessNumber())
                                .arg(end)
                                .arg(result.nextEndTime));
        }
        int block = 0;
        int index = 0;
        if (kernel.getAcqSettings(block, index) && block != 0 && index != 0)
            kernel.SetInputState(input(block, index));
    }
}

void processEngine::calculate(cycleResult &result)
{
    const size_t n = m_kernels.size();
    result.extraPasses = maxPasses;
    result.allCalculated = n == 0;
    for (int pass = 0; pass < maxPasses && n > 0; ++pass) {
        bool all = true;
        for (size_t i = 0; i < n; ++i) {
            if (!m_done[i]) {
                m_kernels[i]->CalcNow();
                all = all && m_done[i];
            }
        }
        if (all) {
            result.extraPasses = pass;
            result.allCalculated = true;
            break;
        }
    }
    if (n == 0)
        result.extraPasses = 0;
    m_displayed = m_states;
}

int processEngine::stateToKeep(int position) const
{
    const int state = m_displayed[size_t(position)];
    return state != -1 ? state : m_saved[size_t(position)];
}

int64_t processEngine::overrideEndTime(int position) const
{
    return m_kernels[size_t(position)]->GetOverrideEndTime();
}
