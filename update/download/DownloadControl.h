#ifndef VELTORA_DOWNLOADCONTROL_H
#define VELTORA_DOWNLOADCONTROL_H

#include "DownloadFailure.h"
#include "DownloadThread.h"

#include <QFile>
#include <QList>
#include <QObject>
#include <QString>

#include <QVector>

#include <atomic>
#include <memory>

class ResumeRecord;

// Fetches one remote file into one local file: probes its size (following
// redirects, more than ten meaning a hijacked address), preallocates the file and
// downloads it in parallel ranged requests, one worker a range. A download that was
// cut short continues from its resume record (see ResumeRecord) when the server's
// validator and size are still those of the part already on disk. A file whose
// probe gives no length is fetched with one plain request, up to a cap.
//
// The controller's slots run on its own thread while downloads may be started from
// another: the workers are listed and counted before any of them starts, the slots
// never read a worker (the progress of each comes in the signal), and the list is
// emptied when the workers are handed over for deletion.
class DownloadControl : public QObject
{
    Q_OBJECT

public:
    // The numbers are kept as the log and the tests know them (2 is not used).
    enum State : int { Idle = 0, Downloading = 1, Finished = 3, Failed = 4 };

    explicit DownloadControl(QObject *parent = nullptr);
    ~DownloadControl() override;

    // Larger sizes are refused as the server's mistake (and could overflow the ranges).
    static constexpr qint64 maxFileSize = qint64(1) << 50;
    // A file whose length the probe did not learn is taken up to this many bytes (or
    // the caller's lower sizeLimit); its digest, not its length, tells whether it is right.
    static constexpr qint64 maxUnknownLength = qint64(4) << 30;

    // Ranges of the n segments of a file of T bytes: boundaries are shared, and
    // the last position is T (servers limit it to the last byte). The value is
    // floor(segment * T / n), computed without forming the product.
    static qint64 segmentStart(int segment, int count, qint64 total) { return segmentEnd(segment - 1, count, total); }
    static qint64 segmentEnd(int segment, int count, qint64 total)
    {
        return segment * (total / count) + segment * (total % count) / count;
    }

    qint64 getFileSize(QString url);
    bool downloadFile(const QString &url, const QString &filePath, int threadCount);
    void downloadingFinish();

    int state = Idle;
    QList<DownloadThread *> threadList;
    QString url;
    QString filePath;
    int threadCount = 0;
    int unfinishedCount = 0;
    qint64 readySize = 0;
    qint64 totalSize = 0;
    QFile *file = nullptr;
    std::atomic<bool> hasError{false}; // read by the update controller from its own thread
    int redirectTimes = 0;
    // The validator (strong ETag, else Last-Modified) of the last successful probe.
    QByteArray validator;
    // Files larger than this are refused, by the probe or as their bytes arrive;
    // callers lower it for small files (a manifest, a signature).
    qint64 sizeLimit = maxFileSize;
    // Asks caches on the way for a fresh copy ("Cache-Control: no-cache"): for the
    // manifest and its signature, and for a packet whose cached copy failed its digest.
    // Packets are otherwise left to caches, their addresses being unique to a release.
    bool revalidate = false;
    // How often the probe and the segments check for progress; two checks without
    // any end the wait. Tests shorten it.
    int stallInterval = DownloadThread::stallCheckInterval;
    // Whether the failed download added bytes to its resume record: one cut off
    // before any came has nothing new to continue from. Set before `error`.
    bool keptNewBytes = false;
    // Whether the last probe's answer carried a length. Without one the probe's size
    // is 0 and the download takes whatever body comes, up to the cap.
    bool lengthKnown = true;

signals:
    void finished(int index);
    void progressChange(int index, qint64 startPoint, qint64 endPoint, qint64 readySize);
    void getFileSizeErrorSignal(const QString &errorMessage);
    void error(const QString &errorString, bool isUploadLog);
    // What went wrong, emitted just before each `error` and `getFileSizeErrorSignal`.
    void failed(DownloadFailure kind);

public slots:
    void finishedSlot(int index);
    void progressChangeSlot(int index, qint64 startPoint, qint64 endPoint, qint64 readySize);
    void errorSlot(int index, const QString &errorString, bool isUploadLog);
    void failedSlot(int index, DownloadFailure kind);

private:
    void reportError(DownloadFailure kind, const QString &errorString, bool isUploadLog);
    void reportSizeError(DownloadFailure kind, const QString &errorMessage);

    // The size from the probe's answer, or -1 after reporting why it is unusable.
    qint64 sizeFromAnswer(const QByteArray &contentLength);
    // The record to continue from, or null when the download starts from zero.
    std::unique_ptr<ResumeRecord> usableRecord(const QString &recordPath);

    QVector<qint64> m_segmentReady; // the latest count of each segment, by segment
    qint64 m_resumedBytes = 0;
    // The kind a worker reported just before its error text; a worker emits both
    // together on one thread, so the text that follows is always this one's.
    DownloadFailure m_workerFailure = DownloadFailure::None;
};

#endif
