#ifndef VELTORA_UPLOADQUEUE_H
#define VELTORA_UPLOADQUEUE_H

#include "LogStore.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The one writer of the service's uploads: they are committed in groups, each group in one
// synced transaction, so a burst of uploads costs one sync instead of one each. Every upload
// of a group is answered only after that group's commit. When `capacity` uploads are waiting
// to be written, the next one is refused at once instead of waiting behind them.
//
// Also keeps the store within its bounds, between groups: rows older than `maxAgeMs` go,
// then the oldest ones while the logs take more than `maxLogBytes`.
class UploadQueue
{
public:
    struct Options
    {
        int capacity = 64;
        // How long a group waits for more uploads once one is there. The uploads that arrive
        // while a group is written form the next one anyway; a fixed wait on top measured
        // slower (2 ms: 0.85 of the uploads per second at 8 clients).
        int windowMs = 0;
        // Groups written at once: SQLite has one writer anyway; PostgreSQL commits concurrent
        // transactions together itself, so several writers keep it busy.
        int writers = 1;
        qint64 maxAgeMs = 0;     // 0: no limit
        qint64 maxLogBytes = 0;  // 0: no limit
    };
    enum class Result { Stored, AlreadyStored, Failed, Full };

    UploadQueue(LogStore *store, const Options &options, std::function<void(const QString &)> log);
    ~UploadQueue();

    // Blocks until the upload's group is committed, or returns Full at once.
    Result submit(const StoredLog &log, QString *error);
    // Writes what is waiting, then ends the writer.
    void stop();

private:
    struct Pending;
    void write();
    void keepWithinBounds(qint64 nowMs);
    void addStored(qint64 bytes);

    LogStore *m_store;
    const Options m_options;
    std::function<void(const QString &)> m_log;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::shared_ptr<Pending>> m_waiting;
    int m_unwritten = 0; // waiting, plus the group being written
    bool m_stopping = false;
    std::mutex m_boundsLock;   // one writer at a time keeps the store within its bounds
    qint64 m_storedBytes = -1; // the logs' total as last counted, plus what was written since
    qint64 m_lastPruneMs = 0;
    qint64 m_lastCountMs = 0;
    std::vector<std::thread> m_writers;
};

#endif
