#include "RateLimiter.h"

#include <QHostAddress>
#include <QMutexLocker>

namespace {
const qint64 minuteMs = 60 * 1000;
const qint64 dayMs = 24 * 3600 * 1000;
}

RateLimiter::RateLimiter(int perMinute, qint64 bytesPerDay, int maxClients)
    : m_perMinute(perMinute)
    , m_bytesPerDay(bytesPerDay)
    , m_maxClients(qMax(1, maxClients))
{
}

QString RateLimiter::clientOf(const QString &address)
{
    QHostAddress host(address);
    if (host.isNull())
        return address;
    bool mapped = false;
    const quint32 v4 = host.toIPv4Address(&mapped);
    if (mapped)
        return QHostAddress(v4).toString();
    if (host.protocol() != QAbstractSocket::IPv6Protocol)
        return host.toString();
    Q_IPV6ADDR bytes = host.toIPv6Address();
    for (int i = 8; i < 16; ++i)
        bytes[i] = 0;
    return QHostAddress(bytes).toString() + QStringLiteral("/64");
}

RateLimiter::Entries::iterator RateLimiter::entryFor(const QString &client, qint64 nowMs)
{
    const auto found = m_index.constFind(client);
    if (found != m_index.constEnd()) {
        m_entries.splice(m_entries.begin(), m_entries, found.value());
        return m_entries.begin();
    }
    if (m_index.size() >= m_maxClients) {
        m_index.remove(m_entries.back().client);
        m_entries.pop_back();
    }
    Entry entry;
    entry.client = client;
    entry.tokens = m_perMinute;
    entry.refilledMs = nowMs;
    entry.day = nowMs / dayMs;
    m_entries.push_front(entry);
    m_index.insert(client, m_entries.begin());
    return m_entries.begin();
}

bool RateLimiter::allow(const QString &client, qint64 nowMs)
{
    if (m_perMinute <= 0)
        return true;
    QMutexLocker lock(&m_lock);
    Entry &entry = *entryFor(client, nowMs);
    const qint64 elapsed = qMax<qint64>(0, nowMs - entry.refilledMs);
    entry.tokens = qMin<double>(m_perMinute, entry.tokens + double(elapsed) * m_perMinute / minuteMs);
    entry.refilledMs = nowMs;
    if (entry.tokens < 1)
        return false;
    entry.tokens -= 1;
    return true;
}

bool RateLimiter::allowBytes(const QString &client, qint64 bytes, qint64 nowMs)
{
    if (m_bytesPerDay <= 0)
        return true;
    QMutexLocker lock(&m_lock);
    Entry &entry = *entryFor(client, nowMs);
    if (entry.day != nowMs / dayMs) {
        entry.day = nowMs / dayMs;
        entry.bytes = 0;
    }
    if (entry.bytes + bytes > m_bytesPerDay)
        return false;
    entry.bytes += bytes;
    return true;
}

int RateLimiter::clients()
{
    QMutexLocker lock(&m_lock);
    return m_index.size();
}

bool ConnectionLimit::acquire(const QString &client)
{
    if (m_perClient <= 0)
        return true;
    QMutexLocker lock(&m_lock);
    int &open = m_open[client];
    if (open >= m_perClient)
        return false;
    ++open;
    return true;
}

void ConnectionLimit::release(const QString &client)
{
    if (m_perClient <= 0)
        return;
    QMutexLocker lock(&m_lock);
    const auto it = m_open.find(client);
    if (it != m_open.end() && --it.value() <= 0)
        m_open.erase(it);
}
