#include "stateSaver.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// The snapshots the child program writes.
std::vector<stateFile::entry> stateSnapshot(int count, int variant);

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The file stateFile::save writes for `entries`, written into a folder of its own.
QByteArray fileFor(const std::vector<stateFile::entry> &entries, const QString &folder)
{
    stateFile file(folder, QString());
    return file.save(entries) ? readAll(file.path()) : QByteArray();
}

} // namespace

class tst_stateSaver : public QObject
{
    Q_OBJECT

private slots:
    // However many snapshots come while the file is written, the file ends
    // with the last one; every snapshot is either written or replaced.
    void lastSnapshotWins_data()
    {
        QTest::addColumn<int>("snapshots");
        QTest::addColumn<int>("processes");
        QTest::addColumn<bool>("finishFirst"); // finish() before the saver ends, or only its destructor
        QTest::newRow("one, destructor") << 1 << 10 << false;
        QTest::newRow("many small, finish") << 200 << 50 << true;
        QTest::newRow("many large, destructor") << 30 << 20000 << false;
    }
    void lastSnapshotWins()
    {
        QFETCH(int, snapshots);
        QFETCH(int, processes);
        QFETCH(bool, finishFirst);
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("data/Plant"));
        int written = 0;
        int replaced = 0;
        {
            stateSaver saver{stateFile(folder, QString())};
            for (int i = 0; i < snapshots; ++i)
                saver.save(stateSnapshot(processes, i));
            if (finishFirst) {
                saver.finish();
                written = saver.written();
                replaced = saver.replaced();
                QCOMPARE(written + replaced, snapshots);
            }
        }
        const QByteArray expected = fileFor(stateSnapshot(processes, snapshots - 1), dir.filePath(QStringLiteral("ref")));
        QCOMPARE(readAll(folder + QStringLiteral("/Wardline.dat")), expected);
    }

    // A program killed while it saves leaves the previous file or the new
    // one, whole: never a mix, never a shortened file.
    void killedDuringSavesLeavesAWholeFile()
    {
        QTemporaryDir dir;
        constexpr int processes = 20000;
        const QByteArray versions[] = {fileFor(stateSnapshot(processes, 0), dir.filePath(QStringLiteral("ref0"))),
                                       fileFor(stateSnapshot(processes, 1), dir.filePath(QStringLiteral("ref1")))};
        QVERIFY(versions[0] != versions[1] && versions[0].size() > 100000);
        const QString folder = dir.filePath(QStringLiteral("data/Plant"));
        QRandomGenerator random(42);
        int seen[2] = {0, 0};
        for (int round = 0; round < 12; ++round) {
            QProcess child;
            child.start(QStringLiteral(STATE_SAVE_CHILD), {folder, QString::number(processes)});
            QVERIFY(child.waitForStarted());
            QVERIFY(child.waitForReadyRead(20000));
            QCOMPARE(child.readLine().trimmed(), QByteArray("written"));
            QTest::qWait(int(random.bounded(5, 120)));
            ::kill(pid_t(child.processId()), SIGKILL);
            QVERIFY(child.waitForFinished(10000));
            const QByteArray found = readAll(folder + QStringLiteral("/Wardline.dat"));
            const int which = found == versions[0] ? 0 : found == versions[1] ? 1 : -1;
            QVERIFY2(which >= 0, qPrintable(QStringLiteral("round %1: a file of %2 bytes that is neither version")
                                                .arg(round)
                                                .arg(found.size())));
            ++seen[which];
        }
        qInfo("killed while saving: old or new version found, %d and %d times", seen[0], seen[1]);
    }
};

QTEST_GUILESS_MAIN(tst_stateSaver)
#include "tst_stateSaver.moc"
