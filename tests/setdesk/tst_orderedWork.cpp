#include "orderedWork.h"

#include <QThread>
#include <QSemaphore>
#include <QTest>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <memory>

class tst_orderedWork : public QObject
{
    Q_OBJECT

private slots:
    // Work finishing in any order: the steps still run in the order of
    // adding, each with its own result, steps without work in their turn.
    void stepsRunInOrder()
    {
        QThreadPool pool;
        pool.setMaxThreadCount(4);
        orderedWork queue(1 << 20, &pool);
        QStringList ran;
        // Later work is released first; the earliest waits for it.
        auto gates = std::make_shared<QList<std::shared_ptr<QSemaphore>>>();
        for (int i = 0; i < 4; ++i)
            gates->append(std::make_shared<QSemaphore>());
        for (int i = 0; i < 4; ++i) {
            const auto mine = gates->at(i);
            const auto next = i > 0 ? gates->at(i - 1) : nullptr;
            queue.add(
                [i, mine, next]() -> orderedWork::result {
                    if (i < 3)
                        mine->acquire();
                    if (next)
                        next->release();
                    return i == 2 ? orderedWork::result(QStringLiteral("failed")) : std::nullopt;
                },
                10, QString::number(i),
                [&ran, i](const orderedWork::result &r) { ran << QStringLiteral("%1:%2").arg(i).arg(r.value_or(QStringLiteral("ok"))); });
            if (i == 1)
                queue.add([&ran](const orderedWork::result &r) { ran << QStringLiteral("plain:%1").arg(r.has_value()); });
        }
        queue.finish();
        QCOMPARE(ran, QStringList({"0:ok", "1:ok", "plain:0", "2:failed", "3:ok"}));
        QCOMPARE(queue.size(), 0);
        QCOMPARE(queue.queuedBytes(), 0);
    }

    // What is queued never exceeds the bound, an entry larger than the bound
    // runs alone, and work of the same key never overlaps.
    void boundAndKeys_data()
    {
        QTest::addColumn<qint64>("bound");
        QTest::addColumn<int>("keys");
        QTest::newRow("bound of three entries") << qint64(30) << 100;
        QTest::newRow("bound below one entry") << qint64(5) << 100;
        QTest::newRow("two keys, roomy bound") << qint64(1000) << 2;
        QTest::newRow("one key") << qint64(1000) << 1;
    }

    void boundAndKeys()
    {
        QFETCH(qint64, bound);
        QFETCH(int, keys);
        QThreadPool pool;
        pool.setMaxThreadCount(4);
        orderedWork queue(bound, &pool);
        std::atomic<int> running[100] = {};
        std::atomic<bool> overlapped{false};
        qint64 mostQueued = 0;
        QList<int> ran;
        for (int i = 0; i < 60; ++i) {
            const int key = i % keys;
            queue.add(
                [&running, &overlapped, key]() -> orderedWork::result {
                    if (running[key].fetch_add(1) > 0)
                        overlapped = true;
                    QThread::yieldCurrentThread();
                    running[key].fetch_sub(1);
                    return std::nullopt;
                },
                10, QString::number(key), [&ran, i](const orderedWork::result &) { ran << i; });
            mostQueued = std::max(mostQueued, queue.queuedBytes());
            queue.runReady();
        }
        queue.finish();
        QVERIFY(!overlapped);
        QVERIFY2(mostQueued <= std::max<qint64>(bound, 10), qPrintable(QString::number(mostQueued)));
        QCOMPARE(ran.size(), 60);
        QVERIFY(std::is_sorted(ran.begin(), ran.end()));
    }

    // A step without work holds what it reports: beyond the bound, the
    // earlier entries are finished first.
    void stepsCountAgainstTheBound()
    {
        QThreadPool pool;
        orderedWork queue(10, &pool);
        QStringList ran;
        queue.add([]() -> orderedWork::result { return std::nullopt; }, 8, QStringLiteral("a"),
                  [&ran](const orderedWork::result &) { ran << QStringLiteral("work"); });
        queue.add([&ran](const orderedWork::result &) { ran << QStringLiteral("small"); }, 2);
        QCOMPARE(ran, QStringList());
        QCOMPARE(queue.queuedBytes(), 10);
        queue.add([&ran](const orderedWork::result &) { ran << QStringLiteral("large"); }, 5);
        QCOMPARE(ran, QStringList({"work"}));
        QCOMPARE(queue.queuedBytes(), 7);
        queue.finish();
        QCOMPARE(ran, QStringList({"work", "small", "large"}));
    }

    // Work still running when the queue goes is waited for, so nothing it
    // touches is used after its owner has gone; its steps are dropped.
    void destructionWaitsForWork()
    {
        QThreadPool pool;
        std::atomic<int> done{0};
        int steps = 0;
        {
            orderedWork queue(1 << 20, &pool);
            for (int i = 0; i < 8; ++i)
                queue.add(
                    [&done]() -> orderedWork::result {
                        QThread::msleep(2);
                        ++done;
                        return std::nullopt;
                    },
                    1, QString::number(i), [&steps](const orderedWork::result &) { ++steps; });
        }
        QCOMPARE(done.load(), 8);
        QCOMPARE(steps, 0);
    }
};

QTEST_GUILESS_MAIN(tst_orderedWork)
#include "tst_orderedWork.moc"
