#ifndef VELTORA_UPLOADCHECK_H
#define VELTORA_UPLOADCHECK_H

#include <QByteArray>
#include <QString>

// The four parts of a failure-log upload, as the programs send them.
struct UploadParts
{
    QByteArray key;
    QByteArray timestamp;
    QByteArray saveName;
    QByteArray saveData;
};

// Whether an upload is the programs' own and fresh: its key, its time and its sizes.
class UploadCheck
{
public:
    // Allowed distance of the timestamp from the clock: wide, because the programs never
    // read the answer and a machine with a wrong clock would lose its log unseen. A replay
    // within it stores nothing new (an upload is kept once).
    qint64 windowSeconds = defaultWindowSeconds;
    static constexpr qint64 defaultWindowSeconds = 8 * 24 * 3600;
    qint64 maxLogBytes = 8 * 1024 * 1024;
    static constexpr int maxNameBytes = 255;
    // The key is 32 hex digits and the timestamp at most 10 digits; more is not read.
    static constexpr int maxKeyBytes = 64;
    static constexpr int maxTimestampBytes = 16;

    struct Verdict
    {
        int status = 200;  // HTTP status of the answer
        QString refusal;   // why, for the answer and the service's log; empty when accepted
        qint64 skewSeconds = 0; // the timestamp minus the clock, once the key matched
        bool accepted() const { return refusal.isEmpty(); }
    };

    Verdict check(const UploadParts &parts, qint64 nowSeconds) const;
};

#endif
