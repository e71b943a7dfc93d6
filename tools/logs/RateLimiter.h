#ifndef VELTORA_RATELIMITER_H
#define VELTORA_RATELIMITER_H

#include <QHash>
#include <QMutex>
#include <QString>
#include <QVector>

// At most `perMinute` requests per address in any sliding minute. Bounded in memory:
// an attacker with many addresses fills the table, and then new addresses wait.
class RateLimiter
{
public:
    explicit RateLimiter(int perMinute, int maxAddresses = 100000);

    // Counts the request when it is allowed. Thread-safe.
    bool allow(const QString &address, qint64 nowMs);

private:
    void forgetOlderThan(qint64 ms);

    const int m_perMinute;
    const int m_maxAddresses;
    QMutex m_lock;
    QHash<QString, QVector<qint64>> m_times; // per address, oldest first
};

#endif
