#include "orderedWork.h"

#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

orderedWork::orderedWork(qint64 maxBytes, QThreadPool *pool)
    : m_pool(pool ? pool : QThreadPool::globalInstance()), m_maxBytes(maxBytes)
{
}

orderedWork::~orderedWork()
{
    // The work may write where its owner is about to clean up.
    for (entry &queued : m_entries) {
        if (queued.hasWork)
            queued.future.waitForFinished();
    }
}

void orderedWork::add(work job, qint64 cost, const QString &key, step then)
{
    cost = std::max<qint64>(cost, 0);
    makeRoom(cost, &key);
    entry queued;
    queued.future = QtConcurrent::run(m_pool, std::move(job));
    queued.hasWork = true;
    queued.cost = cost;
    queued.key = key;
    queued.then = std::move(then);
    m_entries.push_back(std::move(queued));
    m_queuedBytes += cost;
    ++m_keys[key];
}

void orderedWork::add(step then, qint64 cost)
{
    cost = std::max<qint64>(cost, 0);
    makeRoom(cost, nullptr);
    entry queued;
    queued.cost = cost;
    queued.then = std::move(then);
    m_entries.push_back(std::move(queued));
    m_queuedBytes += cost;
}

void orderedWork::makeRoom(qint64 cost, const QString *key)
{
    // A file written twice in one batch keeps the later content: the earlier
    // write ends first.
    while (!m_entries.empty() && (m_queuedBytes + cost > m_maxBytes || (key && m_keys.contains(*key))))
        runHead();
}

void orderedWork::runHead()
{
    entry head = std::move(m_entries.front());
    m_entries.pop_front();
    result outcome;
    if (head.hasWork) {
        // Work not yet started runs here instead of being waited for.
        head.future.waitForFinished();
        outcome = head.future.result();
        if (--m_keys[head.key] == 0)
            m_keys.remove(head.key);
    }
    m_queuedBytes -= head.cost;
    // Popped first: the step may run an event loop, and nothing it does must
    // see this entry again.
    if (head.then)
        head.then(outcome);
}

void orderedWork::runReady()
{
    while (!m_entries.empty() && (!m_entries.front().hasWork || m_entries.front().future.isFinished()))
        runHead();
}

void orderedWork::finish()
{
    while (!m_entries.empty())
        runHead();
}
