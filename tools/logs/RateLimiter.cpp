#include "RateLimiter.h"

#include <QMutexLocker>

namespace {
const qint64 minuteMs = 60 * 1000;
}

RateLimiter::RateLimiter(int perMinute, int maxAddresses)
    : m_perMinute(perMinute)
    , m_maxAddresses(maxAddresses)
{
}

bool RateLimiter::allow(const QString &address, qint64 nowMs)
{
    if (m_perMinute <= 0)
        return true;
    QMutexLocker lock(&m_lock);
    auto it = m_times.find(address);
    if (it == m_times.end()) {
        if (m_times.size() >= m_maxAddresses)
            forgetOlderThan(nowMs - minuteMs);
        if (m_times.size() >= m_maxAddresses)
            return false;
        it = m_times.insert(address, {});
    }
    QVector<qint64> &times = it.value();
    int expired = 0;
    while (expired < times.size() && times.at(expired) <= nowMs - minuteMs)
        ++expired;
    times.remove(0, expired);
    if (times.size() >= m_perMinute)
        return false;
    times.append(nowMs);
    return true;
}

void RateLimiter::forgetOlderThan(qint64 ms)
{
    for (auto it = m_times.begin(); it != m_times.end();) {
        if (it.value().isEmpty() || it.value().last() <= ms)
            it = m_times.erase(it);
        else
            ++it;
    }
}
