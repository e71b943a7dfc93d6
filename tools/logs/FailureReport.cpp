#include "FailureReport.h"

#include <QDateTime>
#include <QHash>
#include <QMap>

namespace {

const qint64 msPerDay = 24 * 3600 * 1000;
const char dayFormat[] = "yyyy-MM-dd";

QString dayText(qint64 day)
{
    return QDateTime::fromMSecsSinceEpoch(day * msPerDay, Qt::UTC).toString(QLatin1String(dayFormat));
}

QString timeText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

bool dayOf(const QString &text, qint64 *day)
{
    const QDate date = QDate::fromString(text, QLatin1String(dayFormat));
    if (!date.isValid())
        return false;
    *day = QDateTime(date, QTime(0, 0), Qt::UTC).toMSecsSinceEpoch() / msPerDay;
    return true;
}

// Texts from logs reach a terminal and a page: no control characters of any kind, whatever
// an older version of the service stored.
QString orNone(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("(none)") : FailureLog::plainText(text);
}

QString escaped(const QString &text)
{
    return orNone(text).toHtmlEscaped();
}

QString padded(const QString &text, int width)
{
    return text.leftJustified(width, QLatin1Char(' '));
}

QString skewText(qint64 seconds)
{
    const qint64 magnitude = qAbs(seconds);
    const QString sign = seconds < 0 ? QStringLiteral("-") : QStringLiteral("+");
    if (magnitude >= 24 * 3600)
        return sign + QStringLiteral("%1 d").arg(magnitude / (24 * 3600));
    if (magnitude >= 3600)
        return sign + QStringLiteral("%1 h").arg(magnitude / 3600);
    return sign + QStringLiteral("%1 min").arg(magnitude / 60);
}

QStringList namesOf(const QVector<GroupCount> &groups)
{
    QStringList names;
    for (const GroupCount &g : groups)
        names.append(g.first);
    return names;
}

// Per day: the total, and the counts of the shown groups by their index; one pass.
struct DayRow
{
    qint64 total = 0;
    QVector<qint64> counts;
};

QMap<qint64, DayRow> byDay(const QVector<DayCount> &days, const QStringList &groups)
{
    QHash<QString, int> index;
    for (int i = 0; i < groups.size(); ++i)
        index.insert(groups.at(i), i);
    QMap<qint64, DayRow> rows;
    for (const DayCount &d : days) {
        DayRow &row = rows[d.day];
        if (row.counts.isEmpty())
            row.counts.fill(0, groups.size());
        if (d.isTotal) {
            row.total = d.count;
            continue;
        }
        const int at = index.value(d.group, -1);
        if (at >= 0)
            row.counts[at] += d.count;
    }
    return rows;
}

const char *const palette[] = {"#c0392b", "#2980b9", "#27ae60", "#8e44ad", "#d35400", "#16a085", "#b7950b", "#2c3e50"};
const int paletteSize = int(sizeof(palette) / sizeof(palette[0]));
const char otherColour[] = "#bbbbbb";

} // namespace

bool FailureReport::setRange(const QString &fromDay, const QString &toDay, qint64 nowMs, QString *error)
{
    qint64 last = nowMs / msPerDay;
    if (!toDay.isEmpty() && !dayOf(toDay, &last)) {
        *error = QStringLiteral("not a day (yyyy-MM-dd): %1").arg(toDay);
        return false;
    }
    qint64 first = last - 29;
    if (!fromDay.isEmpty() && !dayOf(fromDay, &first)) {
        *error = QStringLiteral("not a day (yyyy-MM-dd): %1").arg(fromDay);
        return false;
    }
    if (first > last) {
        *error = QStringLiteral("the range ends before it starts");
        return false;
    }
    fromMs = first * msPerDay;
    toMs = (last + 1) * msPerDay;
    return true;
}

void FailureReport::setPageLimits(const QString &rows, const QString &latestRows)
{
    bool ok = false;
    const int groups = rows.toInt(&ok);
    groupLimit = ok ? qBound(1, groups, maxPageRows) : defaultPageGroups;
    const int newest = latestRows.toInt(&ok);
    latestLimit = ok ? qBound(1, newest, maxPageRows) : 200;
}

bool FailureReport::load(LogStore &store, QString *error)
{
    QString failure;
    // One more than shown tells whether there are more.
    byVersionAndReason = store.countsByVersionAndReason(fromMs, toMs, groupLimit > 0 ? groupLimit + 1 : 0, &failure);
    if (groupLimit > 0 && byVersionAndReason.size() > groupLimit) {
        moreGroups = true;
        byVersionAndReason.resize(groupLimit);
    }
    // The page charts a few groups and counts the rest together; the text lists them all.
    const int shown = groupLimit > 0 ? chartGroups : 0;
    if (failure.isEmpty())
        byReason = store.countsByReason(fromMs, toMs, shown, &failure);
    // Only the page's chart needs the reasons per day.
    if (failure.isEmpty() && shown > 0)
        byDayAndReason = store.countsByDayAndReason(fromMs, toMs, namesOf(byReason), &failure);
    if (failure.isEmpty())
        byRelease = store.countsByTargetRelease(fromMs, toMs, shown, &failure);
    if (failure.isEmpty())
        byDayAndRelease = store.countsByDayAndTargetRelease(fromMs, toMs, shown > 0 ? namesOf(byRelease) : QStringList(), &failure);
    if (failure.isEmpty())
        skewed = store.countSkewed(fromMs, toMs, skewShownSeconds, &failure);
    if (failure.isEmpty() && latestLimit > 0)
        latest = store.latest(fromMs, toMs, latestLimit, &failure);
    if (!failure.isEmpty()) {
        *error = failure;
        return false;
    }
    return true;
}

QString FailureReport::toText() const
{
    qint64 total = 0;
    for (const GroupCount &r : byReason)
        total += r.count;
    int versionWidth = 17;
    for (const GroupCount &c : byVersionAndReason)
        versionWidth = qMax(versionWidth, orNone(c.first).size());
    QString text = QStringLiteral("Failures from %1 to %2 (UTC): %3\n")
                       .arg(dayText(fromMs / msPerDay), dayText(toMs / msPerDay - 1))
                       .arg(total);
    if (total == 0)
        return text;
    if (skewed > 0)
        text += QStringLiteral("Sent by machines whose clock was more than %1 minutes off: %2\n").arg(skewShownSeconds / 60).arg(skewed);
    text += QStringLiteral("\n%1  %2  %3\n").arg(padded(QStringLiteral("Installed version"), versionWidth),
                                                  QStringLiteral("Failures"), QStringLiteral("Reason"));
    for (const GroupCount &c : byVersionAndReason)
        text += QStringLiteral("%1  %2  %3\n").arg(padded(orNone(c.first), versionWidth),
                                                   QString::number(c.count).rightJustified(8), orNone(c.second));
    text += QStringLiteral("\nBy reason:\n");
    for (const GroupCount &r : byReason)
        text += QStringLiteral("%1  %2\n").arg(QString::number(r.count).rightJustified(8), orNone(r.first));
    // Every (day, release) group in the store's order: by day, then by release.
    text += QStringLiteral("\nBy release being installed, per day:\n%1  %2  %3\n")
                .arg(padded(QStringLiteral("Day"), 10), QStringLiteral("Failures"), QStringLiteral("Release"));
    for (const DayCount &d : byDayAndRelease) {
        if (d.isTotal)
            continue;
        text += QStringLiteral("%1  %2  %3\n").arg(dayText(d.day), QString::number(d.count).rightJustified(8), orNone(d.group));
    }
    return text;
}

QString FailureReport::toHtml() const
{
    const QString from = dayText(fromMs / msPerDay);
    const QString to = dayText(toMs / msPerDay - 1);
    const QMap<qint64, DayRow> reasonDays = byDay(byDayAndReason, namesOf(byReason));
    qint64 total = 0;
    for (const DayRow &d : reasonDays)
        total += d.total;
    const QString range = QStringLiteral("from=%1&amp;to=%2").arg(from, to);

    QString html = QStringLiteral(
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Veltora update failures</title>\n"
        "<style>body{font-family:sans-serif;margin:2em;color:#222}table{border-collapse:collapse;margin:1em 0}"
        "th,td{border:1px solid #ccc;padding:.3em .6em;text-align:left;vertical-align:top}th{background:#f2f2f2}"
        "td.n{text-align:right}.swatch{display:inline-block;width:.9em;height:.9em;margin-right:.4em;vertical-align:middle}"
        "small{color:#666}</style></head><body>\n");
    html += QStringLiteral("<h1>Update failures</h1>\n<form method=\"get\" action=\"/failures\">From "
                           "<input name=\"from\" value=\"%1\"> to <input name=\"to\" value=\"%2\"> (UTC) "
                           "<button>Show</button></form>\n<p>%3 failures.")
                .arg(from.toHtmlEscaped(), to.toHtmlEscaped())
                .arg(total);
    if (skewed > 0)
        html += QStringLiteral(" %1 of them sent by machines whose clock was more than %2 minutes off.").arg(skewed).arg(skewShownSeconds / 60);
    html += QStringLiteral("</p>\n");

    html += QStringLiteral("<h2>By installed version and reason</h2>\n<table><tr><th>Installed version</th>"
                           "<th>Reason</th><th>Failures</th></tr>\n");
    for (const GroupCount &c : byVersionAndReason)
        html += QStringLiteral("<tr><td>%1</td><td>%2</td><td class=\"n\">%3</td></tr>\n")
                    .arg(escaped(c.first), escaped(c.second), QString::number(c.count));
    html += QStringLiteral("</table>\n");
    if (moreGroups)
        html += QStringLiteral("<small>The %1 largest groups. <a href=\"/failures?%2&amp;rows=%3\">Show more</a></small>\n")
                    .arg(groupLimit)
                    .arg(range)
                    .arg(qMin(maxPageRows, groupLimit * 10));

    // Stacked bars, one per day of the range (at most the last 92), one colour per reason of
    // the most frequent ones and grey for the rest. Texts from the logs go into one arg() call,
    // last, so a "%1" inside them stays as it is.
    const qint64 lastDay = toMs / msPerDay - 1;
    const qint64 firstDay = qMax(fromMs / msPerDay, lastDay - 91);
    qint64 highest = 1;
    for (const DayRow &d : reasonDays)
        highest = qMax(highest, d.total);
    const int days = int(lastDay - firstDay + 1);
    const int barWidth = qBound(6, 720 / days, 40);
    const int chartHeight = 160;
    const int width = days * barWidth + 40;
    html += QStringLiteral("<h2>Failures per day by reason</h2>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" "
                           "height=\"%2\" role=\"img\" aria-label=\"Failures per day by reason\">\n")
                .arg(width)
                .arg(chartHeight + 40);
    html += QStringLiteral("<line x1=\"30\" y1=\"%1\" x2=\"%2\" y2=\"%1\" stroke=\"#888\"/>"
                           "<text x=\"0\" y=\"12\" font-size=\"11\">%3</text><text x=\"0\" y=\"%1\" font-size=\"11\">0</text>\n")
                .arg(chartHeight)
                .arg(width)
                .arg(highest);
    const auto bar = [&](qint64 day, qint64 below, qint64 count, const char *colour, const QString &what) {
        const int x = 32 + int(day - firstDay) * barWidth;
        const int bottom = int(below * chartHeight / highest);
        const int top = int((below + count) * chartHeight / highest);
        return QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\"><title>%6: %7 × %8</title></rect>\n")
            .arg(QString::number(x), QString::number(chartHeight - top), QString::number(barWidth - 2),
                 QString::number(qMax(1, top - bottom)), QLatin1String(colour), dayText(day), QString::number(count), what);
    };
    for (auto it = reasonDays.cbegin(); it != reasonDays.cend(); ++it) {
        if (it.key() < firstDay || it.key() > lastDay)
            continue;
        qint64 stacked = 0;
        for (int i = 0; i < it->counts.size(); ++i) {
            if (it->counts.at(i) == 0)
                continue;
            html += bar(it.key(), stacked, it->counts.at(i), palette[i % paletteSize], escaped(byReason.at(i).first));
            stacked += it->counts.at(i);
        }
        if (it->total > stacked)
            html += bar(it.key(), stacked, it->total - stacked, otherColour, QStringLiteral("other reasons"));
    }
    for (qint64 day = firstDay; day <= lastDay; day += qMax(1, days / 6))
        html += QStringLiteral("<text x=\"%1\" y=\"%2\" font-size=\"11\">%3</text>\n")
                    .arg(32 + int(day - firstDay) * barWidth)
                    .arg(chartHeight + 16)
                    .arg(dayText(day));
    html += QStringLiteral("</svg>\n<p>");
    for (int i = 0; i < byReason.size(); ++i)
        html += QStringLiteral("<span class=\"swatch\" style=\"background:%1\"></span>%2<br>\n")
                    .arg(QLatin1String(palette[i % paletteSize]), escaped(byReason.at(i).first));
    html += QStringLiteral("<span class=\"swatch\" style=\"background:%1\"></span>Other reasons</p>\n").arg(QLatin1String(otherColour));

    // Failures per day for each release being installed: the most frequent releases, then the rest.
    const QMap<qint64, DayRow> releaseDays = byDay(byDayAndRelease, namesOf(byRelease));
    html += QStringLiteral("<h2>Failures per day by release being installed</h2>\n<table><tr><th>Day (UTC)</th>");
    for (const GroupCount &r : byRelease)
        html += QStringLiteral("<th>%1</th>").arg(escaped(r.first));
    html += QStringLiteral("<th>Other releases</th></tr>\n");
    for (auto it = releaseDays.cend(); it != releaseDays.cbegin();) {
        --it;
        html += QStringLiteral("<tr><td>%1</td>").arg(dayText(it.key()));
        qint64 shown = 0;
        for (qint64 n : it->counts) {
            html += QStringLiteral("<td class=\"n\">%1</td>").arg(n);
            shown += n;
        }
        html += QStringLiteral("<td class=\"n\">%1</td></tr>\n").arg(it->total - shown);
    }
    html += QStringLiteral("</table>\n");

    html += QStringLiteral("<h2>Latest logs</h2>\n<table><tr><th>Received (UTC)</th><th>From</th><th>Log</th>"
                           "<th>Installed version</th><th>Release being installed</th><th>Road</th><th>Reason</th>"
                           "<th>Clock</th></tr>\n");
    for (const StoredLog &row : latest)
        html += QStringLiteral("<tr><td>%1</td><td>%2</td><td><a href=\"/failures/log/%3\">%4</a></td><td>%5</td>"
                               "<td>%6</td><td>%7</td><td>%8</td><td>%9</td></tr>\n")
                    .arg(timeText(row.receivedAtMs), escaped(row.address), QString::fromLatin1(row.digest).toHtmlEscaped(),
                         escaped(row.fileName), escaped(row.fields.installedVersion), escaped(row.fields.targetRelease),
                         escaped(row.fields.road), escaped(row.fields.reason),
                         qAbs(row.clockSkewSeconds) > skewShownSeconds ? skewText(row.clockSkewSeconds) : QString());
    html += QStringLiteral("</table>\n<small>The newest %1 logs of the range. <a href=\"/failures?%2&amp;latest=%3\">Show more</a></small>\n"
                           "</body></html>\n")
                .arg(latestLimit)
                .arg(range)
                .arg(qMin(maxPageRows, latestLimit * 10));
    return html;
}
