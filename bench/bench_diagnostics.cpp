// The diagnostics window over a large alarm system: a temporary installation
// with one alarm system of 20,000 processes (time windows, OR, AND and NOT
// rules, and one in twenty an Input process without a module, which the
// cycle cannot calculate), the real main window headless, and the window's
// operations timed from the call to the end of a synchronous repaint:
// - opening (the lists filled from the engine and shown),
// - a name filter that narrows the list, and clearing it again,
// - an input filter and clearing it,
// - one refresh after a cycle in which 1% of the states changed, and one in
//   which none did.
// Each is repeated and reported as median, fastest and slowest.
//
// Usage: bench_diagnostics [processes] [repeats]   (defaults 20000 and 7)

#include "WardlineMainWindow.h"
#include "alarmEngine.h"
#include "diagnostics.h"
#include "processEngine.h"
#include "processFilterModel.h"
#include "CRuleKernel.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

const char *const kinds[] = {"Pump", "Tank", "Valve", "Alarm", "Door"};

QString processName(int i)
{
    return QStringLiteral("%1 %2").arg(QLatin1String(kinds[i % 5])).arg(i, 5, 10, QLatin1Char('0'));
}

// One section per process; rules read only processes further up the file.
QByteArray processFile(int count)
{
    QByteArray text;
    text.reserve(count * 60);
    for (int i = 0; i < count; ++i) {
        text += '[' + processName(i).toUtf8() + "]\n";
        if (i % 20 == 19) {
            text += "Type=Input\nBlock=1\nIndex=" + QByteArray::number(i % 100 + 1) + "\n";
        } else if (i < 10 || i % 4 == 0) {
            text += (i % 8 == 0) ? "Type=Time\nWindow=00:00-24:00\n" : "Type=Time\nWindow=03:00-03:01\n";
        } else if (i % 4 == 1) {
            text += "Type=OR\nInputs=" + processName(i - 1).toUtf8() + ", " + processName(i - 5).toUtf8() + ", "
                    + processName(i - 9).toUtf8() + "\n";
        } else if (i % 4 == 2) {
            text += "Type=AND\nInputs=" + processName(i - 2).toUtf8() + ", " + processName(i - 6).toUtf8() + "\n";
        } else {
            text += "Type=NOT\nInput=" + processName(i - 3).toUtf8() + "\n";
        }
    }
    return text;
}

struct result
{
    const char *name;
    std::vector<double> ms;
};

double timed(const std::function<void()> &work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return double(timer.nsecsElapsed()) / 1e6;
}

void report(const result &r)
{
    std::vector<double> sorted = r.ms;
    std::sort(sorted.begin(), sorted.end());
    std::printf("%-44s %9.2f %9.2f %9.2f\n", r.name, sorted[sorted.size() / 2], sorted.front(), sorted.back());
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The engine's debug lines would swamp the figures.
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::max(10, QByteArray(argv[1]).toInt()) : 20000;
    const int repeats = argc > 2 ? std::max(1, QByteArray(argv[2]).toInt()) : 7;

    QTemporaryDir root;
    if (!root.isValid())
        return 1;
    qputenv("QX_ROOT", QFile::encodeName(root.path()));
    qputenv("QX_SYSTEM", "sys");
    const QString alarms = root.path() + "/sys/config/alarms/Bench";
    QDir().mkpath(alarms + "/inputs");
    QDir().mkpath(alarms + "/outputs");
    QFile file(alarms + "/proc_def.cfg");
    if (!file.open(QIODevice::WriteOnly) || file.write(processFile(count)) < 0)
        return 1;
    file.close();

    // The process timer is left to this program: a cycle runs when it says so.
    WardlineMainWindow window(QStringList{"/ALARMSYSTEM=Bench", "/UDP=NO", "/PERIOD=100000000"});
    window.show();
    if (!window.Start())
        return 1;
    alarmEngine &engine = *window.engine();
    engine.startProcessing();
    engine.cycle();
    QCoreApplication::processEvents();
    if (engine.processCount() != count) {
        std::fprintf(stderr, "loaded %d processes of %d\n", engine.processCount(), count);
        return 1;
    }

    int uncalculated = 0;
    for (int done : engine.processes().done())
        uncalculated += done == 0;
    std::printf("%d processes, %d of them uncalculated; %d repeats; times in ms\n\n", count, uncalculated, repeats);
    std::printf("%-44s %9s %9s %9s\n", "operation", "median", "fastest", "slowest");

    const auto settle = [](QWidget *widget) {
        QCoreApplication::sendPostedEvents();
        widget->repaint();
    };

    result open{"open the window (fill, show, paint)", {}};
    for (int i = 0; i < repeats; ++i) {
        delete window.diagnosticsWindow();
        open.ms.push_back(timed([&] {
            window.diagnosticsOn();
            settle(window.diagnosticsWindow());
        }));
    }
    diagnostics *diag = window.diagnosticsWindow();
    diag->resize(1000, 700);
    settle(diag);
    // Every figure below is only worth something when the lists are right.
    const auto check = [&](const char *what, int rows, int expected) {
        if (rows != expected) {
            std::fprintf(stderr, "%s: %d rows instead of %d\n", what, rows, expected);
            std::exit(1);
        }
    };
    check("process list", diag->filterModel()->rowCount(), count);
    check("uncalculated list", diag->errorModel()->rowCount(), uncalculated);

    result narrow{"name filter \"A*\" (all to 1 in 5)", {}};
    result widen{"name filter cleared (1 in 5 to all)", {}};
    result rare{"name filter \"*12?4*\" (all to 0.5%)", {}};
    result half{"name filter \"*[13579]\" (all to every 2nd)", {}};
    result halfCleared{"name filter cleared (every 2nd to all)", {}};
    for (int i = 0; i < repeats; ++i) {
        narrow.ms.push_back(timed([&] {
            diag->lineEditFilter->setText(QStringLiteral("A*"));
            settle(diag);
        }));
        widen.ms.push_back(timed([&] {
            diag->lineEditFilter->clear();
            settle(diag);
        }));
        check("name filter cleared", diag->filterModel()->rowCount(), count);
        rare.ms.push_back(timed([&] {
            diag->lineEditFilter->setText(QStringLiteral("*12?4*"));
            settle(diag);
        }));
        diag->lineEditFilter->clear();
        settle(diag);
        half.ms.push_back(timed([&] {
            diag->lineEditFilter->setText(QStringLiteral("*[13579]"));
            settle(diag);
        }));
        halfCleared.ms.push_back(timed([&] {
            diag->lineEditFilter->clear();
            settle(diag);
        }));
        diag->lvProcesses->clearSelection();
        settle(diag);
    }
    const int shownByA = [&] {
        diag->lineEditFilter->setText(QStringLiteral("A*"));
        const int rows = diag->filterModel()->rowCount();
        diag->lineEditFilter->clear();
        return rows;
    }();

    result input{"input filter (a process of 3 inputs)", {}};
    result inputCleared{"input filter cleared", {}};
    const QString target = processName(count / 2 - (count / 2) % 4 + 1); // an OR process
    for (int i = 0; i < repeats; ++i) {
        input.ms.push_back(timed([&] {
            diag->lineEditProcessInputFilter->setText(target);
            settle(diag);
        }));
        inputCleared.ms.push_back(timed([&] {
            diag->lineEditProcessInputFilter->clear();
            settle(diag);
        }));
        check("input filter cleared", diag->filterModel()->rowCount(), count);
    }
    const int shownByInput = [&] {
        diag->lineEditProcessInputFilter->setText(target);
        const int rows = diag->filterModel()->rowCount();
        diag->lineEditProcessInputFilter->clear();
        while (diag->filterStackSize() > 0)
            diag->pushFilterBack->click();
        return rows;
    }();

    // 1% of the processes forced on and back to normal in turn, so that every
    // cycle changes their states.
    result changed{"refresh, 1% of the states changed", {}};
    result unchanged{"refresh, no state changed", {}};
    std::vector<int> forced;
    for (int i = 0; i < count; i += 100)
        forced.push_back(i + 7 < count ? i + 7 : i);
    for (int i = 0; i < repeats; ++i) {
        {
            engine.processLock().acquire();
            for (int position : forced)
                engine.processes().process(position)->Override(i % 2 == 0 ? 3 : 0, 0);
            engine.processLock().release();
        }
        engine.cycle();
        changed.ms.push_back(timed([&] {
            window.UpdateDiagnosticsScreen();
            settle(diag);
        }));
        unchanged.ms.push_back(timed([&] {
            window.UpdateDiagnosticsScreen();
            settle(diag);
        }));
    }

    for (const result *r : {&open, &narrow, &widen, &rare, &half, &halfCleared, &input, &inputCleared, &changed, &unchanged})
        report(*r);
    std::printf("\n\"A*\" shows %d rows, the input filter %d; %zu states change per refresh.\n", shownByA, shownByInput,
                forced.size());
    return 0;
}
