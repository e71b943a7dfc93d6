#ifndef VELTORA_FAILUREREPORT_H
#define VELTORA_FAILUREREPORT_H

#include "LogStore.h"

#include <QString>
#include <QVector>

// What fails in a time range: failures by installed version and reason, per day and reason,
// per day and release being installed, uploads from machines with a wrong clock, and the
// newest logs; as text for the terminal and as an HTML page.
class FailureReport
{
public:
    qint64 fromMs = 0; // the range [fromMs, toMs), whole UTC days
    qint64 toMs = 0;
    // Groups of the version-and-reason table and rows of the newest logs; 0 lists all (the
    // text report). The page shows a bounded number and links to more.
    int groupLimit = 0;
    int latestLimit = 200;
    static constexpr int defaultPageGroups = 100;
    static constexpr int maxPageRows = 10000;
    // Reasons and releases with a colour or column of their own; the rest are counted together.
    static constexpr int chartGroups = 8;
    // An upload whose clock was further off than this is counted as clock trouble.
    static constexpr qint64 skewShownSeconds = 600;

    QVector<GroupCount> byVersionAndReason;
    bool moreGroups = false;
    QVector<GroupCount> byReason;
    QVector<DayCount> byDayAndReason;       // day totals under '', then the shown reasons
    QVector<GroupCount> byRelease;
    QVector<DayCount> byDayAndRelease;      // day totals under '', then the shown releases
    qint64 skewed = 0;
    QVector<StoredLog> latest;

    // Days as yyyy-MM-dd in UTC, both included; empty texts mean the 30 days up to today.
    bool setRange(const QString &fromDay, const QString &toDay, qint64 nowMs, QString *error);
    // The page's ?rows= and ?latest=; missing or unreadable values keep the defaults.
    void setPageLimits(const QString &rows, const QString &latestRows);
    bool load(LogStore &store, QString *error);

    QString toText() const;
    // A page of its own: no scripts, everything from the logs escaped.
    QString toHtml() const;
};

#endif
