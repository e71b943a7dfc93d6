#include "FailureReport.h"

#include <QDateTime>
#include <QMap>
#include <QTimeZone>

#include <algorithm>

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

QString orNone(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("(none)") : text;
}

QString escaped(const QString &text)
{
    return orNone(text).toHtmlEscaped();
}

QString padded(const QString &text, int width)
{
    return text.leftJustified(width, QLatin1Char(' '));
}

// Reasons by how often they fail, so the chart's colours and legend follow the table.
QStringList reasonsByCount(const QVector<DayCount> &days)
{
    QMap<QString, qint64> totals;
    for (const DayCount &d : days)
        totals[d.reason] += d.count;
    QStringList reasons = totals.keys();
    std::stable_sort(reasons.begin(), reasons.end(),
                     [&](const QString &a, const QString &b) { return totals.value(a) > totals.value(b); });
    return reasons;
}

const char *const palette[] = {"#c0392b", "#2980b9", "#27ae60", "#8e44ad", "#d35400", "#16a085", "#7f8c8d", "#b7950b"};
const int paletteSize = int(sizeof(palette) / sizeof(palette[0]));

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

bool FailureReport::load(LogStore &store, QString *error)
{
    QString failure;
    byVersionAndReason = store.countsByVersionAndReason(fromMs, toMs, &failure);
    if (failure.isEmpty())
        byDayAndReason = store.countsByDayAndReason(fromMs, toMs, &failure);
    if (failure.isEmpty())
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
    int versionWidth = 17;
    QMap<QString, qint64> byReason;
    for (const FailureCount &c : byVersionAndReason) {
        total += c.count;
        versionWidth = qMax(versionWidth, orNone(c.installedVersion).size());
        byReason[c.reason] += c.count;
    }
    QString text = QStringLiteral("Failures from %1 to %2 (UTC): %3\n")
                       .arg(dayText(fromMs / msPerDay), dayText(toMs / msPerDay - 1))
                       .arg(total);
    if (total == 0)
        return text;
    text += QStringLiteral("\n%1  %2  %3\n").arg(padded(QStringLiteral("Installed version"), versionWidth),
                                                  QStringLiteral("Failures"), QStringLiteral("Reason"));
    for (const FailureCount &c : byVersionAndReason)
        text += QStringLiteral("%1  %2  %3\n").arg(padded(orNone(c.installedVersion), versionWidth),
                                                   QString::number(c.count).rightJustified(8), orNone(c.reason));
    text += QStringLiteral("\nBy reason:\n");
    QVector<QPair<qint64, QString>> reasons;
    for (auto it = byReason.cbegin(); it != byReason.cend(); ++it)
        reasons.append({it.value(), it.key()});
    std::stable_sort(reasons.begin(), reasons.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    for (const auto &r : qAsConst(reasons))
        text += QStringLiteral("%1  %2\n").arg(QString::number(r.first).rightJustified(8), orNone(r.second));
    return text;
}

QString FailureReport::toHtml() const
{
    const QString from = dayText(fromMs / msPerDay);
    const QString to = dayText(toMs / msPerDay - 1);
    qint64 total = 0;
    for (const FailureCount &c : byVersionAndReason)
        total += c.count;

    QString html = QStringLiteral(
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Veltora update failures</title>\n"
        "<style>body{font-family:sans-serif;margin:2em;color:#222}table{border-collapse:collapse;margin:1em 0}"
        "th,td{border:1px solid #ccc;padding:.3em .6em;text-align:left;vertical-align:top}th{background:#f2f2f2}"
        "td.n{text-align:right}.swatch{display:inline-block;width:.9em;height:.9em;margin-right:.4em;vertical-align:middle}"
        "small{color:#666}</style></head><body>\n");
    html += QStringLiteral("<h1>Update failures</h1>\n<form method=\"get\" action=\"/failures\">From "
                           "<input name=\"from\" value=\"%1\"> to <input name=\"to\" value=\"%2\"> (UTC) "
                           "<button>Show</button></form>\n<p>%3 failures.</p>\n")
                .arg(from.toHtmlEscaped(), to.toHtmlEscaped())
                .arg(total);

    html += QStringLiteral("<h2>By installed version and reason</h2>\n<table><tr><th>Installed version</th>"
                           "<th>Reason</th><th>Failures</th></tr>\n");
    for (const FailureCount &c : byVersionAndReason)
        html += QStringLiteral("<tr><td>%1</td><td>%2</td><td class=\"n\">%3</td></tr>\n")
                    .arg(escaped(c.installedVersion), escaped(c.reason), QString::number(c.count));
    html += QStringLiteral("</table>\n");

    // Texts from the logs go into one arg() call, last, so a "%1" inside them stays as it is.
    // Stacked bars, one per day of the range (at most the last 92), one colour per reason.
    const QStringList reasons = reasonsByCount(byDayAndReason);
    const qint64 lastDay = toMs / msPerDay - 1;
    const qint64 firstDay = qMax(fromMs / msPerDay, lastDay - 91);
    QMap<qint64, qint64> dayTotals;
    for (const DayCount &d : byDayAndReason)
        dayTotals[d.day] += d.count;
    qint64 highest = 1;
    for (qint64 v : qAsConst(dayTotals))
        highest = qMax(highest, v);
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
    QMap<qint64, qint64> stacked;
    for (const DayCount &d : byDayAndReason) {
        if (d.day < firstDay || d.day > lastDay)
            continue;
        const int x = 32 + int(d.day - firstDay) * barWidth;
        const int below = int(stacked.value(d.day) * chartHeight / highest);
        stacked[d.day] += d.count;
        const int top = int(stacked.value(d.day) * chartHeight / highest);
        const int colour = int(reasons.indexOf(d.reason)) % paletteSize;
        html += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\"><title>%6: %7 × %8</title></rect>\n")
                    .arg(QString::number(x), QString::number(chartHeight - top), QString::number(barWidth - 2),
                         QString::number(qMax(1, top - below)), QLatin1String(palette[colour]), dayText(d.day),
                         QString::number(d.count), escaped(d.reason));
    }
    for (qint64 day = firstDay; day <= lastDay; day += qMax(1, days / 6))
        html += QStringLiteral("<text x=\"%1\" y=\"%2\" font-size=\"11\">%3</text>\n")
                    .arg(32 + int(day - firstDay) * barWidth)
                    .arg(chartHeight + 16)
                    .arg(dayText(day));
    html += QStringLiteral("</svg>\n<p>");
    for (int i = 0; i < reasons.size(); ++i)
        html += QStringLiteral("<span class=\"swatch\" style=\"background:%1\"></span>%2<br>\n")
                    .arg(QLatin1String(palette[i % paletteSize]), escaped(reasons.at(i)));
    html += QStringLiteral("</p>\n");

    html += QStringLiteral("<h2>Latest logs</h2>\n<table><tr><th>Received (UTC)</th><th>From</th><th>Log</th>"
                           "<th>Installed version</th><th>Road</th><th>Reason</th></tr>\n");
    for (const StoredLog &row : latest)
        html += QStringLiteral("<tr><td>%1</td><td>%2</td><td><a href=\"/failures/log/%3\">%4</a></td><td>%5</td>"
                               "<td>%6</td><td>%7</td></tr>\n")
                    .arg(timeText(row.receivedAtMs), escaped(row.address), QString::fromLatin1(row.digest).toHtmlEscaped(),
                         escaped(row.fileName), escaped(row.fields.installedVersion), escaped(row.fields.road),
                         escaped(row.fields.reason));
    html += QStringLiteral("</table>\n<small>The newest %1 logs of the range.</small>\n</body></html>\n").arg(latestLimit);
    return html;
}
