#ifndef VELTORA_RATELIMITER_H
#define VELTORA_RATELIMITER_H

#include <QHash>
#include <QMutex>
#include <QString>

#include <list>

// Uploads and bytes per client: `perMinute` uploads a minute on average, in bursts of up
// to `perMinute` (a bucket that refills), and `bytesPerDay` log bytes a UTC day. A client is
// an IPv4 address or an IPv6 /64, since one machine holds a whole /64.
//
// Bounded in memory and in time: at most `maxClients` entries, each of a fixed size; a new
// client past that takes the place of the one seen least recently (whose bucket is full again
// after a minute anyway), so no request scans the table and a flood of addresses cannot lock
// out the addresses that come after it.
class RateLimiter
{
public:
    explicit RateLimiter(int perMinute, qint64 bytesPerDay = 0, int maxClients = 100000);

    // The client an address belongs to: the address itself, or its /64 for IPv6.
    static QString clientOf(const QString &address);

    // Counts one upload when it is allowed. Thread-safe, as is everything here.
    bool allow(const QString &client, qint64 nowMs);
    // Counts `bytes` of the client's day when they fit in the day's volume.
    bool allowBytes(const QString &client, qint64 bytes, qint64 nowMs);
    int clients();

private:
    struct Entry
    {
        QString client;
        double tokens = 0;
        qint64 refilledMs = 0;
        qint64 day = 0;
        qint64 bytes = 0;
    };
    using Entries = std::list<Entry>;
    Entries::iterator entryFor(const QString &client, qint64 nowMs);

    const int m_perMinute;
    const qint64 m_bytesPerDay;
    const int m_maxClients;
    QMutex m_lock;
    Entries m_entries; // the most recently seen first
    QHash<QString, Entries::iterator> m_index;
};

// Connections held open per client, so that one client cannot take every worker.
class ConnectionLimit
{
public:
    explicit ConnectionLimit(int perClient)
        : m_perClient(perClient)
    {
    }
    // False when the client already holds its share; release() only after a true.
    bool acquire(const QString &client);
    void release(const QString &client);

private:
    const int m_perClient;
    QMutex m_lock;
    QHash<QString, int> m_open;
};

#endif
