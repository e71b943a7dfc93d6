#ifndef VELTORA_RELEASEFRESHNESS_H
#define VELTORA_RELEASEFRESHNESS_H

#include <QByteArray>
#include <QDateTime>
#include <QString>

// What keeps a signed release from being served for ever: beside "releaseVersion" the
// signed manifest says when it was signed ("signedAt"), until when it holds
// ("validUntil", both UTC "yyyy-MM-ddTHH:mm:ssZ"), a number that grows with every
// signing ("sequence", from 1) and the number of the key that signed it ("signingKey",
// 1 when absent).
struct ReleaseFreshness
{
    QString releaseVersion;
    QDateTime signedAt;
    QDateTime validUntil;
    qint64 sequence = 0;
    int signingKey = 1;

    // The release tool's default validity and the longest it gives.
    static constexpr int defaultValidDays = 14;
    static constexpr int maxValidDays = 31;
    // Below this much time left the release tool warns.
    static constexpr qint64 warnSecondsLeft = 3 * 24 * 3600;

    // The fields of a manifest whose signature has been verified; false with the reason
    // when one is missing or malformed, or the validity ends before it begins.
    static bool read(const QByteArray &bytes, const QString &platform, ReleaseFreshness *out, QString *error);
    // The number of the key that claims to have signed not yet verified bytes: which key
    // to verify with is the only thing taken from them before the signature holds.
    static bool claimedKey(const QByteArray &bytes, const QString &platform, int *number, QString *error);

    // "yyyy-MM-ddTHH:mm:ssZ" in UTC, and back (anything else gives an invalid time).
    static QString timeText(const QDateTime &time);
    static QDateTime parseTime(const QString &text);
    // A span for people: "3 days", "5 hours", "12 minutes".
    static QString spanText(qint64 seconds);

    // "signed at S, valid until V, sequence N", for log lines and the release tool.
    QString describe() const;
};

#endif
