#include "procDefCheck.h"

#include "procDefFile.h"
#include "ruleDefinition.h"

#include <QHash>

#include <algorithm>

#include <vector>

QList<procDefCheck::problem> procDefCheck::check(QByteArrayView content)
{
    const std::vector<procDefFile::section> sections = procDefFile::read(content);
    const int n = int(sections.size());
    QList<problem> problems;
    auto report = [&](int i, const QString &text) {
        problems.append({sections[size_t(i)].line, sections[size_t(i)].name, text});
    };

    // The first process of a name is the one the others read.
    QHash<QString, int> position;
    for (int i = 0; i < n; ++i) {
        const procDefFile::section &s = sections[size_t(i)];
        if (!s.nameOk)
            report(i, QStringLiteral("the name is not UTF-8 text"));
        else if (s.name.trimmed().isEmpty())
            report(i, QStringLiteral("the process has no name"));
        else if (const auto first = position.constFind(s.name); first != position.constEnd())
            report(i, QStringLiteral("the name is given twice (first at line %1)").arg(sections[size_t(*first)].line));
        if (!position.contains(s.name))
            position.insert(s.name, i);
    }

    // What each process reads, for those whose rule parses.
    std::vector<std::vector<int>> reads(static_cast<size_t>(n));
    std::vector<bool> usable(static_cast<size_t>(n), false);
    for (int i = 0; i < n; ++i) {
        const procDefFile::section &s = sections[size_t(i)];
        ruleDefinition rule;
        QString error;
        const QByteArray body = procDefFile::loadable(s);
        if (!ruleDefinition::parse(body.constData(), static_cast<unsigned long>(body.size()), rule, &error)) {
            report(i, error);
            continue;
        }
        usable[size_t(i)] = true;
        for (const QString &input : std::as_const(rule.inputs)) {
            const int at = position.value(input, -1);
            if (at < 0)
                report(i, QStringLiteral("its input %1 is no process").arg(input));
            else
                reads[size_t(i)].push_back(at);
        }
        if (!rule.mask.isEmpty()) {
            const int at = position.value(rule.mask, -1);
            if (at < 0)
                report(i, QStringLiteral("its mask %1 is no process").arg(rule.mask));
            else
                reads[size_t(i)].push_back(at);
        }
    }

    // Processes that can be calculated, found as the engine's passes find
    // them; what is left reads itself through others, or reads such a process.
    std::vector<int> waiting(static_cast<size_t>(n), 0);
    std::vector<std::vector<int>> readers(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        for (int input : reads[size_t(i)]) {
            ++waiting[size_t(i)];
            readers[size_t(input)].push_back(i);
        }
    }
    std::vector<int> ready;
    for (int i = 0; i < n; ++i) {
        if (waiting[size_t(i)] == 0)
            ready.push_back(i);
    }
    std::vector<bool> calculated(static_cast<size_t>(n), false);
    while (!ready.empty()) {
        const int i = ready.back();
        ready.pop_back();
        calculated[size_t(i)] = true;
        for (int reader : readers[size_t(i)]) {
            if (--waiting[size_t(reader)] == 0)
                ready.push_back(reader);
        }
    }
    // Of those left, the ones no other left process reads are outside the
    // circles: take them away until only the circles remain.
    std::vector<int> readBy(static_cast<size_t>(n), 0);
    for (int i = 0; i < n; ++i) {
        if (calculated[size_t(i)])
            continue;
        for (int input : reads[size_t(i)])
            readBy[size_t(input)] += !calculated[size_t(input)];
    }
    std::vector<int> outside;
    for (int i = 0; i < n; ++i) {
        if (!calculated[size_t(i)] && readBy[size_t(i)] == 0)
            outside.push_back(i);
    }
    std::vector<bool> inCircle(static_cast<size_t>(n), false);
    for (int i = 0; i < n; ++i)
        inCircle[size_t(i)] = !calculated[size_t(i)];
    while (!outside.empty()) {
        const int i = outside.back();
        outside.pop_back();
        inCircle[size_t(i)] = false;
        for (int input : reads[size_t(i)]) {
            if (inCircle[size_t(input)] && --readBy[size_t(input)] == 0)
                outside.push_back(input);
        }
    }
    for (int i = 0; i < n; ++i) {
        if (inCircle[size_t(i)] && usable[size_t(i)])
            report(i, QStringLiteral("it is never calculated: it reads itself through the processes it reads"));
    }

    std::stable_sort(problems.begin(), problems.end(), [](const problem &a, const problem &b) { return a.line < b.line; });
    return problems;
}

QString procDefCheck::describe(const problem &p)
{
    return QStringLiteral("Process %1 (line %2): %3").arg(p.process).arg(p.line).arg(p.text);
}
