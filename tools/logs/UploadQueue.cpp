#include "UploadQueue.h"

#include <QDateTime>

#include <chrono>

namespace {
// Age is checked this often; size after every group that takes the total past its limit.
const qint64 pruneIntervalMs = 60 * 1000;
// The count of other writers' rows (another service on the same PostgreSQL) is taken again this often.
const qint64 recountIntervalMs = 10 * 60 * 1000;
} // namespace

struct UploadQueue::Pending
{
    StoredLog log;
    bool done = false;
    LogStore::Outcome outcome = LogStore::Outcome::Failed;
    QString error;
};

UploadQueue::UploadQueue(LogStore *store, const Options &options, std::function<void(const QString &)> log)
    : m_store(store)
    , m_options(options)
    , m_log(std::move(log))
{
    // Trimmed before the first upload: a store left past its bounds by an earlier run, or by a
    // change of the options.
    keepWithinBounds(QDateTime::currentMSecsSinceEpoch());
    for (int i = 0; i < qMax(1, options.writers); ++i)
        m_writers.emplace_back([this] { write(); });
}

UploadQueue::~UploadQueue()
{
    stop();
}

void UploadQueue::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (std::thread &writer : m_writers) {
        if (writer.joinable())
            writer.join();
    }
}

UploadQueue::Result UploadQueue::submit(const StoredLog &log, QString *error)
{
    auto pending = std::make_shared<Pending>();
    pending->log = log;
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_stopping) {
        *error = QStringLiteral("the service is stopping");
        return Result::Failed;
    }
    if (m_unwritten >= m_options.capacity)
        return Result::Full;
    ++m_unwritten;
    m_waiting.push_back(pending);
    m_wake.notify_all();
    m_wake.wait(lock, [&] { return pending->done; });
    *error = pending->error;
    switch (pending->outcome) {
    case LogStore::Outcome::Stored: return Result::Stored;
    case LogStore::Outcome::AlreadyStored: return Result::AlreadyStored;
    case LogStore::Outcome::Failed: break;
    }
    return Result::Failed;
}

void UploadQueue::write()
{
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_wake.wait_for(lock, std::chrono::milliseconds(pruneIntervalMs), [this] { return m_stopping || !m_waiting.empty(); });
        if (m_waiting.empty()) {
            if (m_stopping)
                return;
            lock.unlock();
            keepWithinBounds(QDateTime::currentMSecsSinceEpoch());
            lock.lock();
            continue;
        }
        // A window, where one is set, for the uploads that arrive while the first one's body was parsed.
        if (m_options.windowMs > 0 && !m_stopping)
            m_wake.wait_for(lock, std::chrono::milliseconds(m_options.windowMs),
                            [this] { return m_stopping || int(m_waiting.size()) >= m_options.capacity; });
        std::vector<std::shared_ptr<Pending>> group(m_waiting.begin(), m_waiting.end());
        m_waiting.clear();
        lock.unlock();

        QVector<StoredLog> rows;
        rows.reserve(int(group.size()));
        qint64 bytes = 0;
        for (const auto &p : group) {
            rows.append(p->log);
            bytes += p->log.log.size();
        }
        QString error;
        const QVector<LogStore::Outcome> outcomes = m_store->storeAll(rows, &error);
        for (int i = 0; i < outcomes.size(); ++i) {
            if (outcomes.at(i) == LogStore::Outcome::Failed)
                bytes = 0;
        }
        addStored(bytes);

        lock.lock();
        for (size_t i = 0; i < group.size(); ++i) {
            group[i]->outcome = outcomes.value(int(i), LogStore::Outcome::Failed);
            group[i]->error = error;
            group[i]->done = true;
        }
        m_unwritten -= int(group.size());
        m_wake.notify_all();
        // After the answers: removing old rows holds up no upload of this group.
        lock.unlock();
        keepWithinBounds(QDateTime::currentMSecsSinceEpoch());
        lock.lock();
    }
}

void UploadQueue::addStored(qint64 bytes)
{
    std::lock_guard<std::mutex> lock(m_boundsLock);
    if (m_storedBytes >= 0)
        m_storedBytes += bytes;
}

void UploadQueue::keepWithinBounds(qint64 nowMs)
{
    std::unique_lock<std::mutex> lock(m_boundsLock, std::try_to_lock);
    if (!lock.owns_lock())
        return;
    const bool ageDue = m_options.maxAgeMs > 0 && nowMs - m_lastPruneMs >= pruneIntervalMs;
    bool sizeDue = false;
    if (m_options.maxLogBytes > 0) {
        if (m_storedBytes < 0 || nowMs - m_lastCountMs >= recountIntervalMs) {
            m_lastCountMs = nowMs;
            QString error;
            m_storedBytes = m_store->totalLogBytes(&error);
            if (m_storedBytes < 0)
                m_log(QStringLiteral("cannot count the stored logs: ") + error);
        }
        sizeDue = m_storedBytes > m_options.maxLogBytes;
    }
    if (!ageDue && !sizeDue)
        return;
    QString error;
    const qint64 removed = m_store->prune(m_options.maxAgeMs > 0 ? nowMs - m_options.maxAgeMs : 0, m_options.maxLogBytes, &error);
    m_lastPruneMs = nowMs;
    if (removed < 0) {
        m_log(QStringLiteral("cannot remove old logs: ") + error);
        return;
    }
    if (removed > 0) {
        m_storedBytes = m_options.maxLogBytes > 0 ? m_store->totalLogBytes(&error) : -1;
        m_log(QStringLiteral("removed %1 logs past the store's age or size").arg(removed));
    }
}
