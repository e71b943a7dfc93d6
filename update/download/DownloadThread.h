#ifndef VELTORA_DOWNLOADTHREAD_H
#define VELTORA_DOWNLOADTHREAD_H

#include "DownloadFailure.h"

#include <QFile>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>

#include <atomic>
#include <memory>

class QNetworkAccessManager;
class QTimer;
class ResumeRecord;

// Fetches one byte range of a remote file with one ranged GET and writes it into
// the shared destination file at the range's offset. Despite the name it runs on
// the event loop of the thread that created it; it follows redirects itself and
// reports a stall when two checks find no progress. Only the bodies of answers it
// asked for are written, and a write that fails ends the segment with an error.
// Progress is what reached the file: an answer whose body is thrown away (an error
// page, a redirect) makes none, however long it trickles.
class DownloadThread : public QObject
{
    Q_OBJECT

public:
    explicit DownloadThread(QObject *parent = nullptr);
    ~DownloadThread() override;

    // A segment's states (3 is not used); Idle also while following a redirect.
    enum State : int { Idle = 0, Downloading = 1, Finished = 2, Failed = 4 };

    static constexpr int stallCheckInterval = 15000;
    // Following more redirects than this means the address was hijacked.
    static constexpr int maxRedirects = 10;

    int index = 0;
    qint64 startPoint = 0;
    qint64 endPoint = 0;
    std::atomic<qint64> readySize{0}; // read by the controller from its own thread
    QString url;
    QFile *file = nullptr;
    QNetworkAccessManager *manager = nullptr;
    QNetworkReply *reply = nullptr;
    QTimer *timer = nullptr;
    qint64 lastCheckSize = 0;
    int stallCount = 0;
    int state = Idle;
    QString errorString;
    int redirectTimes = 0;
    // Set by the controller before the start when the segment continues a download:
    // the validator sent as If-Range, and the record of the written ranges.
    QByteArray ifRange;
    std::shared_ptr<ResumeRecord> record;
    // Set by the controller: asks caches on the way for a fresh copy.
    bool revalidate = false;
    // The probed size of the whole file, set by the controller: nothing is written
    // at or past it (-1: only the range bounds what is written).
    qint64 fileSize = -1;
    // Set by the controller when the probe found no length: one request without a
    // Range, whose body (of any length up to endPoint + 1 bytes) is the whole file.
    bool lengthUnknown = false;

    // Whether `url` may be downloaded or redirected to: http, and https where this
    // build can speak it; never file:, data: or the like.
    static bool isDownloadAddress(const QUrl &url);

signals:
    void finished(int index);
    void progressChange(int index, qint64 startPoint, qint64 endPoint, qint64 readySize);
    void error(int index, const QString &errorString, bool isUploadLog);
    // What went wrong, emitted just before each `error`.
    void failed(int index, DownloadFailure kind);
    void redirect(int _index, const QString &_url, QFile *_file, qint64 _startPoint, qint64 _endPoint);

public slots:
    void finishedSlot();
    void downloadProcessSlot(qint64 bytesReceived, qint64 bytesTotal);
    void errorSlot(QNetworkReply::NetworkError code);
    void startDownload(int _index, const QString &_url, QFile *_file, qint64 _startPoint, qint64 _endPoint);
    void downloadTimeOut();

private slots:
    void readyReadSlot();

private:
    void writeArrived();
    int status() const;
    // The bytes this segment's answer must hold: its range, cut at the file's end.
    qint64 expectedBytes() const;
    // Ends the segment with `message`: stops the request and keeps the record.
    void fail(DownloadFailure kind, const QString &message);
    void report(DownloadFailure kind, const QString &message, bool isUploadLog);

    qint64 m_written = 0; // bytes of the current request already in the file
};

Q_DECLARE_METATYPE(QFile *)

#endif
