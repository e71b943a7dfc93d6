#ifndef VELTORA_DOWNLOADCONTROL_H
#define VELTORA_DOWNLOADCONTROL_H

#include <QFile>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>

class DownloadThread;

// Fetches one remote file into one local file: probes its size (following
// redirects, more than ten meaning a hijacked address), preallocates the file and
// downloads it in parallel ranged requests, one worker a range.
class DownloadControl : public QObject
{
    Q_OBJECT

public:
    // The numbers are kept as the log and the tests know them (2 is not used).
    enum State : int { Idle = 0, Downloading = 1, Finished = 3, Failed = 4 };

    explicit DownloadControl(QObject *parent = nullptr);

    // Ranges of the n segments of a file of T bytes: boundaries are shared, and
    // the last position is T (servers limit it to the last byte).
    static qint64 segmentStart(int segment, int count, qint64 total) { return segmentEnd(segment - 1, count, total); }
    // floor(segment * total / count) without forming the product, which overflows
    // for sizes beyond 2^62.
    static qint64 segmentEnd(int segment, int count, qint64 total)
    {
        return total / count * segment + total % count * segment / count;
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

signals:
    void finished(int index);
    void progressChange(int index, qint64 startPoint, qint64 endPoint, qint64 readySize);
    void getFileSizeErrorSignal(const QString &errorMessage);
    void error(const QString &errorString, bool isUploadLog);

public slots:
    void finishedSlot(int index);
    void progressChangeSlot(int index, qint64 startPoint, qint64 endPoint, qint64 readySize);
    void errorSlot(int index, const QString &errorString, bool isUploadLog);
};

#endif
