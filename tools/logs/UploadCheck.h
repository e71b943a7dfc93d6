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
    qint64 windowSeconds = 600;          // allowed distance of the timestamp from the clock
    qint64 maxLogBytes = 8 * 1024 * 1024;
    static constexpr int maxNameBytes = 255;

    struct Verdict
    {
        int status = 200;  // HTTP status of the answer
        QString refusal;   // why, for the answer and the service's log; empty when accepted
        bool accepted() const { return refusal.isEmpty(); }
    };

    Verdict check(const UploadParts &parts, qint64 nowSeconds) const;
};

#endif
