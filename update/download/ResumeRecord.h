#ifndef VELTORA_RESUMERECORD_H
#define VELTORA_RESUMERECORD_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QMap>
#include <QPointer>
#include <QString>
#include <QVector>

#include <QFile>

// What is known about a partly downloaded file, kept in a small file beside it so
// that a later download of the same address into the same file asks only for the
// bytes that are missing: the address, the total size, the server's validator
// (ETag or Last-Modified) and the byte ranges already written and flushed.
// The segments of one download share one record on their thread and note what
// they wrote; it is saved now and then and when a segment stops, and removed when
// every segment has finished.
class ResumeRecord
{
public:
    struct Range
    {
        qint64 begin = 0; // first byte
        qint64 end = 0;   // one past the last byte
        bool operator==(const Range &other) const { return begin == other.begin && end == other.end; }
    };

    // The record kept beside `filePath`.
    static QString pathFor(const QString &filePath);

    // Reads a record, which is treated like any data from outside: false with a
    // reason when it is unreadable, malformed or its ranges do not fit the size.
    static bool load(const QString &path, ResumeRecord *record, QString *error);
    bool save(const QString &path, QString *error) const;

    // Adds [begin, end) to the ranges, clipped to the size; keeps them sorted and merged.
    void add(qint64 begin, qint64 end);
    qint64 doneBytes() const;
    QVector<Range> missing() const;

    // Segments (first and last position, as the download's Range requests take
    // them) for `missing`: one per missing range, the largest ones split while
    // there are fewer than `count`, the closest ones joined while there are more.
    static QVector<QPair<qint64, qint64>> plan(const QVector<Range> &missing, int count);

    // The live part, used by the segments on their thread.
    void start(const QString &path, QFile *data, int segments);
    void noteWritten(int segment, qint64 begin, qint64 end);
    // Flushes the data file to the disk and saves the record; saveIfDue does so at
    // most every five seconds.
    void saveIfDue();
    void saveNow();
    void segmentFinished();
    // Forgets the record: removes its file and saves no more.
    void discard();

    QString url;
    qint64 totalSize = 0;
    QByteArray validator;
    QVector<Range> done; // sorted, disjoint, within [0, totalSize)

private:
    QString m_path;
    QPointer<QFile> m_data;
    QMap<int, Range> m_live;
    int m_unfinished = 0;
    bool m_discarded = true;
    QElapsedTimer m_sinceSave;
};

#endif
