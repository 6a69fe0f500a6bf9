#pragma once

#include <QFuture>
#include <QHash>
#include <QString>

#include <deque>
#include <functional>
#include <optional>

class QThreadPool;

// Runs pieces of work on a thread pool, several at once, and follows each
// with a step on the calling thread, the steps strictly in the order they
// were added. Work returns nothing on success or an error text; its step
// receives that. Work whose step has not run yet is bounded in bytes (each
// entry's declared cost); adding beyond the bound first finishes entries at
// the head. Two entries with the same key never run at the same time.
class orderedWork
{
public:
    using result = std::optional<QString>;
    using work = std::function<result()>;
    using step = std::function<void(const result &)>;

    explicit orderedWork(qint64 maxBytes, QThreadPool *pool = nullptr);
    // Waits for work still running; steps not yet run are dropped.
    ~orderedWork();

    orderedWork(const orderedWork &) = delete;
    orderedWork &operator=(const orderedWork &) = delete;

    // Starts `job` on the pool once the bound and its key allow.
    void add(work job, qint64 cost, const QString &key, step then);
    // A step without work: it runs in its turn with an empty result. What it
    // holds (`cost`) counts against the bound until then.
    void add(step then, qint64 cost = 0);

    // Runs the steps at the head whose work is done, without waiting.
    void runReady();
    // Waits for all work and runs every remaining step.
    void finish();

    qint64 queuedBytes() const { return m_queuedBytes; }
    int size() const { return int(m_entries.size()); }

private:
    struct entry
    {
        QFuture<result> future;
        bool hasWork = false;
        qint64 cost = 0;
        QString key;
        step then;
    };

    // Runs steps at the head until `cost` more fits within the bound and
    // no queued work has `key`.
    void makeRoom(qint64 cost, const QString *key);
    // Waits for the head's work, then runs its step.
    void runHead();

    QThreadPool *m_pool;
    qint64 m_maxBytes;
    qint64 m_queuedBytes = 0;
    std::deque<entry> m_entries;
    QHash<QString, int> m_keys; // keys of the queued work, and how often
};
