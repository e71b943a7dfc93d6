#include "ResumeRecord.h"

#include "DownloadControl.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <unistd.h>

namespace {

// A record holds a handful of ranges; anything much larger is not one of ours.
constexpr qint64 maxRecordBytes = 256 * 1024;
constexpr int maxRanges = 4096;
constexpr int saveIntervalMs = 5000;

bool toSize(const QJsonValue &value, qint64 *out)
{
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    if (!(d >= 0) || d > double(DownloadControl::maxFileSize) || std::floor(d) != d)
        return false;
    *out = qint64(d);
    return true;
}

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

} // namespace

QString ResumeRecord::pathFor(const QString &filePath)
{
    return filePath + QStringLiteral(".resume.json");
}

bool ResumeRecord::load(const QString &path, ResumeRecord *record, QString *error)
{
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isFile())
        return fail(error, QStringLiteral("no record"));
    if (info.size() > maxRecordBytes)
        return fail(error, QStringLiteral("record too large"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(error, file.errorString());
    const QJsonDocument document = QJsonDocument::fromJson(file.read(maxRecordBytes));
    if (!document.isObject())
        return fail(error, QStringLiteral("record is not a JSON object"));
    const QJsonObject object = document.object();

    ResumeRecord read;
    read.url = object.value(QLatin1String("url")).toString();
    read.validator = object.value(QLatin1String("validator")).toString().toUtf8();
    if (read.url.isEmpty() || read.validator.isEmpty())
        return fail(error, QStringLiteral("record without address or validator"));
    if (!toSize(object.value(QLatin1String("size")), &read.totalSize))
        return fail(error, QStringLiteral("record with a bad size"));
    const QJsonArray ranges = object.value(QLatin1String("ranges")).toArray();
    if (ranges.size() > maxRanges)
        return fail(error, QStringLiteral("record with too many ranges"));
    for (const QJsonValue &value : ranges) {
        const QJsonArray pair = value.toArray();
        qint64 begin = 0;
        qint64 end = 0;
        if (pair.size() != 2 || !toSize(pair.at(0), &begin) || !toSize(pair.at(1), &end) || begin >= end
            || end > read.totalSize)
            return fail(error, QStringLiteral("record with a range outside the file"));
        read.add(begin, end);
    }
    *record = read;
    return true;
}

bool ResumeRecord::save(const QString &path, QString *error) const
{
    QJsonArray ranges;
    for (const Range &range : done)
        ranges.append(QJsonArray{double(range.begin), double(range.end)});
    const QJsonObject object{{QStringLiteral("url"), url},
                             {QStringLiteral("size"), double(totalSize)},
                             {QStringLiteral("validator"), QString::fromUtf8(validator)},
                             {QStringLiteral("ranges"), ranges}};
    // Written beside and renamed over: never half a record, and never through a link.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(error, file.errorString());
    file.write(QJsonDocument(object).toJson(QJsonDocument::Compact));
    if (!file.commit())
        return fail(error, file.errorString());
    return true;
}

void ResumeRecord::add(qint64 begin, qint64 end)
{
    begin = qMax<qint64>(begin, 0);
    end = qMin(end, totalSize);
    if (begin >= end)
        return;
    QVector<Range> merged;
    Range adding{begin, end};
    bool placed = false;
    for (const Range &range : qAsConst(done)) {
        if (range.end < adding.begin) {
            merged.append(range);
        } else if (adding.end < range.begin) {
            if (!placed)
                merged.append(adding);
            placed = true;
            merged.append(range);
        } else {
            adding.begin = qMin(adding.begin, range.begin);
            adding.end = qMax(adding.end, range.end);
        }
    }
    if (!placed)
        merged.append(adding);
    done = merged;
}

qint64 ResumeRecord::doneBytes() const
{
    qint64 sum = 0;
    for (const Range &range : done)
        sum += range.end - range.begin;
    return sum;
}

QVector<ResumeRecord::Range> ResumeRecord::missing() const
{
    QVector<Range> out;
    qint64 at = 0;
    for (const Range &range : done) {
        if (range.begin > at)
            out.append({at, range.begin});
        at = range.end;
    }
    if (at < totalSize)
        out.append({at, totalSize});
    return out;
}

QVector<QPair<qint64, qint64>> ResumeRecord::plan(const QVector<Range> &missing, int count)
{
    QVector<Range> parts = missing;
    count = qMax(count, 1);
    // Joining re-fetches the gap between two ranges: join where it is smallest.
    while (parts.size() > count) {
        int best = 0;
        for (int i = 1; i + 1 < parts.size(); ++i) {
            if (parts.at(i + 1).begin - parts.at(i).end < parts.at(best + 1).begin - parts.at(best).end)
                best = i;
        }
        parts[best].end = parts.at(best + 1).end;
        parts.remove(best + 1);
    }
    // Each range is split evenly into as many segments as its share of the count.
    QVector<int> shares(parts.size(), 1);
    for (int extra = count - parts.size(); extra > 0; --extra) {
        int best = 0;
        for (int i = 1; i < parts.size(); ++i) {
            const qint64 a = (parts.at(i).end - parts.at(i).begin) / (shares.at(i) + 1);
            const qint64 b = (parts.at(best).end - parts.at(best).begin) / (shares.at(best) + 1);
            if (a > b)
                best = i;
        }
        ++shares[best];
    }
    QVector<QPair<qint64, qint64>> out;
    for (int i = 0; i < parts.size(); ++i) {
        const qint64 length = parts.at(i).end - parts.at(i).begin;
        for (int s = 1; s <= shares.at(i); ++s)
            out.append({parts.at(i).begin + DownloadControl::segmentStart(s, shares.at(i), length),
                        parts.at(i).begin + DownloadControl::segmentEnd(s, shares.at(i), length)});
    }
    return out;
}

void ResumeRecord::start(const QString &path, QFile *data, int segments)
{
    m_path = path;
    m_data = data;
    m_unfinished = segments;
    m_discarded = false;
    m_sinceSave.start();
}

void ResumeRecord::noteWritten(int segment, qint64 begin, qint64 end)
{
    m_live.insert(segment, {begin, end});
}

void ResumeRecord::saveIfDue()
{
    if (m_sinceSave.isValid() && m_sinceSave.elapsed() >= saveIntervalMs)
        saveNow();
}

void ResumeRecord::saveNow()
{
    if (m_discarded || !m_data || !m_data->isOpen())
        return;
    m_sinceSave.restart();
    // The record must not claim bytes that a crash or a power cut could still lose.
    m_data->flush();
    if (::fdatasync(m_data->handle()) != 0)
        return;
    for (const Range &range : qAsConst(m_live))
        add(range.begin, range.end);
    // A record of nothing would only make the caller restart to continue nothing.
    if (done.isEmpty())
        return;
    QString error;
    if (!save(m_path, &error))
        qDebug() << "could not save the resume record" << m_path << error;
}

void ResumeRecord::segmentFinished()
{
    if (--m_unfinished == 0)
        discard();
}

void ResumeRecord::discard()
{
    m_discarded = true;
    if (!m_path.isEmpty())
        QFile::remove(m_path);
}
