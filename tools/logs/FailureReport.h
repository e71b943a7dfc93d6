#ifndef VELTORA_FAILUREREPORT_H
#define VELTORA_FAILUREREPORT_H

#include "LogStore.h"

#include <QString>
#include <QVector>

// What fails in a time range: failures by installed version and reason, per day and
// reason, and the newest logs; as text for the terminal and as an HTML page.
class FailureReport
{
public:
    qint64 fromMs = 0; // the range [fromMs, toMs), whole UTC days
    qint64 toMs = 0;
    QVector<FailureCount> byVersionAndReason;
    QVector<DayCount> byDayAndReason;
    QVector<StoredLog> latest;

    static constexpr int latestLimit = 200;

    // Days as yyyy-MM-dd in UTC, both included; empty texts mean the 30 days up to today.
    bool setRange(const QString &fromDay, const QString &toDay, qint64 nowMs, QString *error);
    bool load(LogStore &store, QString *error);

    QString toText() const;
    // A page of its own: no scripts, everything from the logs escaped.
    QString toHtml() const;
};

#endif
