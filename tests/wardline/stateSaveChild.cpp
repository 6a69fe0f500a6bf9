// Writes the states file over and over through the engine's saver,
// alternating two snapshots, until it is killed. Prints "written" once the
// first snapshot is on disk. Used by tst_stateSaver.

#include "stateSaver.h"

#include <QCoreApplication>
#include <QString>

#include <cstdio>

std::vector<stateFile::entry> stateSnapshot(int count, int variant)
{
    std::vector<stateFile::entry> entries;
    entries.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        const int64_t end = i % 7 == 0 ? int64_t(1700000000 + i + variant) : 0;
        entries.push_back({QStringLiteral("process %1").arg(i), (i + variant) % 3, end});
    }
    return entries;
}

#ifndef STATE_SAVE_CHILD_NO_MAIN
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const int count = QString::fromLocal8Bit(argv[2]).toInt();
    const std::vector<stateFile::entry> snapshots[] = {stateSnapshot(count, 0), stateSnapshot(count, 1)};
    stateSaver saver{stateFile(folder, QString())};
    saver.save(snapshots[0]);
    saver.finish();
    std::printf("written\n");
    std::fflush(stdout);
    for (int i = 1;; ++i) {
        saver.save(snapshots[i % 2]);
        saver.finish();
    }
}
#endif
