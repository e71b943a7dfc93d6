#include "UploadCheck.h"

#include "UploadKey.h"

namespace {

// Same time whatever the key's first wrong digit, so the key cannot be guessed digit by digit.
bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (int i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return difference == 0;
}

bool isDecimal(const QByteArray &text)
{
    if (text.isEmpty() || text.size() > 10)
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

} // namespace

UploadCheck::Verdict UploadCheck::check(const UploadParts &parts, qint64 nowSeconds) const
{
    if (parts.saveData.size() > maxLogBytes)
        return {413, QStringLiteral("the log is larger than %1 bytes").arg(maxLogBytes)};
    if (parts.saveName.isEmpty() || parts.saveName.size() > maxNameBytes)
        return {400, QStringLiteral("the log file name is empty or longer than %1 bytes").arg(maxNameBytes)};
    // Ten digits at most, so the value fits before it is compared.
    if (!isDecimal(parts.timestamp) || parts.timestamp.toULongLong() > 0xffffffffULL)
        return {400, QStringLiteral("the timestamp is not a Unix time")};
    const qint64 timestamp = qint64(parts.timestamp.toULongLong());
    if (!sameBytes(parts.key, UploadKey::keyFor(quint32(timestamp))))
        return {403, QStringLiteral("the key does not match")};
    if (qAbs(timestamp - nowSeconds) > windowSeconds)
        return {403,
                QStringLiteral("the timestamp is %1 s away from the clock, more than %2 s").arg(timestamp - nowSeconds).arg(windowSeconds),
                timestamp - nowSeconds};
    Verdict accepted;
    accepted.skewSeconds = timestamp - nowSeconds;
    return accepted;
}
