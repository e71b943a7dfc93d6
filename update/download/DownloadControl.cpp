#include "DownloadControl.h"

#include "DownloadMessages.h"
#include "DownloadThread.h"
#include "ResumeRecord.h"

#include <QDebug>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <memory>

DownloadControl::DownloadControl(QObject *parent) : QObject(parent)
{
    DownloadFailures::registerType();
}

DownloadControl::~DownloadControl()
{
    // A file left open by a failed download that another thread started is not our
    // child; its own thread closes it once the workers there are gone.
    if (file && file->parent() != this)
        file->deleteLater();
}

qint64 DownloadControl::getFileSize(QString url)
{
    for (;;) {
        lengthKnown = true;
        if (redirectTimes > DownloadThread::maxRedirects) {
            emit failed(DownloadFailure::Hijacked);
            emit error(DownloadMessages::hijacked(DownloadMessages::Controller), true);
            return -1;
        }

        if (!DownloadThread::isDownloadAddress(QUrl(url))) {
            reportSizeError(DownloadFailure::UnsupportedAddress,
                            DownloadMessages::unsupportedAddress(DownloadMessages::Controller, QUrl(url).scheme()));
            return -1;
        }

        QNetworkAccessManager manager;
        QEventLoop loop;
        QNetworkRequest probe{QUrl(url)};
        if (revalidate)
            probe.setRawHeader("Cache-Control", "no-cache");
        QNetworkReply *reply = manager.head(probe);
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        // The segments' rule: an answer that has not come by the second check never will.
        QTimer stallCheck;
        stallCheck.setInterval(stallInterval);
        int checks = 0;
        connect(&stallCheck, &QTimer::timeout, &loop, [&] {
            qDebug() << ">>>>get file sizes timeout check!" << checks;
            if (++checks >= 2)
                loop.quit();
        });
        stallCheck.start();
        loop.exec();
        stallCheck.stop();
        if (!reply->isFinished()) {
            disconnect(reply, nullptr, &loop, nullptr);
            reply->abort();
            reply->deleteLater();
            reportSizeError(DownloadFailure::BrokenConnection,
                            DownloadMessages::forNetworkError(DownloadMessages::Controller, QNetworkReply::RemoteHostClosedError, QString()));
            return -1;
        }

        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        qDebug() << "get files sizes==== http_status: " << status;
        if (status == 301 || status == 302) {
            const QString location = QString::fromLatin1(reply->rawHeader("Location"));
            ++redirectTimes;
            qDebug() << "###get file sizes" << "--times" << redirectTimes << ">>>>>>>redirect url" << location;
            reply->deleteLater();
            if (location.trimmed().isEmpty()) {
                // Probing the same address again would only loop to the hijack message.
                reportSizeError(DownloadFailure::RedirectWithoutLocation,
                                DownloadMessages::redirectWithoutLocation(DownloadMessages::Controller));
                return -1;
            }
            // A relative Location is taken relative to the address that gave it.
            url = QUrl(url).resolved(QUrl(location)).toString();
            continue;
        }
        if (reply->error() == QNetworkReply::NoError) {
            const QByteArray etag = reply->rawHeader("ETag").trimmed();
            // A weak ETag cannot make a range request conditional.
            validator = !etag.isEmpty() && !etag.startsWith("W/") ? etag : reply->rawHeader("Last-Modified").trimmed();
            const qint64 size = sizeFromAnswer(reply->rawHeader("Content-Length"));
            reply->deleteLater();
            return size;
        }
        const QString message = DownloadMessages::forNetworkError(DownloadMessages::Controller, reply->error(),
                                                                  reply->errorString());
        reportSizeError(DownloadFailures::forNetworkError(reply->error()), message);
        reply->deleteLater();
        return -1;
    }
}

qint64 DownloadControl::sizeFromAnswer(const QByteArray &contentLength)
{
    if (contentLength.isNull()) {
        // No length at all (a generated document): 0, and the body decides.
        lengthKnown = false;
        return 0;
    }
    const QByteArray digits = contentLength.trimmed();
    bool ok = !digits.isEmpty();
    for (char c : digits)
        ok = ok && c >= '0' && c <= '9';
    const qint64 size = ok ? digits.toLongLong(&ok) : -1;
    if (ok && size <= qMin(sizeLimit, maxFileSize))
        return size;
    if (ok && size <= maxFileSize)
        reportSizeError(DownloadFailure::TooLarge, DownloadMessages::tooLarge(size, sizeLimit));
    else
        reportSizeError(DownloadFailure::InvalidSize, DownloadMessages::invalidSize(contentLength));
    return -1;
}

std::unique_ptr<ResumeRecord> DownloadControl::usableRecord(const QString &recordPath)
{
    auto record = std::make_unique<ResumeRecord>();
    QString why;
    if (!ResumeRecord::load(recordPath, record.get(), &why))
        return nullptr;
    const QFileInfo partial(filePath);
    if (record->url != url)
        why = QStringLiteral("another address");
    else if (validator.isEmpty() || record->validator != validator)
        why = QStringLiteral("the file changed on the server");
    else if (record->totalSize != totalSize || partial.isSymLink() || !partial.isFile() || partial.size() != totalSize)
        why = QStringLiteral("another size");
    else if (record->doneBytes() == 0 || record->doneBytes() >= totalSize)
        why = QStringLiteral("nothing to resume");
    else
        return record;
    qDebug() << "resume record not used:" << why;
    return nullptr;
}

bool DownloadControl::downloadFile(const QString &url, const QString &filePath, int threadCount)
{
    if (state == Downloading || file)
        return false;
    this->url = url;
    this->filePath = filePath;
    this->threadCount = threadCount;

    totalSize = getFileSize(url);
    if (totalSize == -1) {
        qDebug() << "get file size error";
        return false;
    }

    readySize = 0;
    keptNewBytes = false;
    const QString recordPath = ResumeRecord::pathFor(filePath);
    // A body of unknown length has no ranges to continue: it comes whole or not at all.
    std::unique_ptr<ResumeRecord> previous = lengthKnown ? usableRecord(recordPath) : nullptr;
    // Never write through a link that someone put where the download goes.
    if (QFileInfo(filePath).isSymLink())
        return false;
    // Objects made on another thread than ours cannot have us as parent.
    const bool sameThread = QThread::currentThread() == thread();
    file = new QFile(filePath, sameThread ? this : nullptr);
    // Unbuffered, so that a failed write shows at once, in the segment that made it.
    const QIODevice::OpenMode mode = previous ? QIODevice::ReadWrite : QIODevice::WriteOnly | QIODevice::Truncate;
    if (!file->open(mode | QIODevice::Unbuffered)) {
        file->close();
        delete file;
        file = nullptr;
        return false;
    }
    if (!file->resize(totalSize)) {
        const QString message = DownloadMessages::cannotPreallocate(filePath, file->errorString());
        qDebug() << "get file size error";
        file->close();
        delete file;
        file = nullptr;
        QFile::remove(filePath);
        QFile::remove(recordPath);
        totalSize = -1;
        reportSizeError(DownloadFailure::CannotPreallocate, message);
        return false;
    }
    if (!previous)
        QFile::remove(recordPath);

    QVector<QPair<qint64, qint64>> ranges;
    m_resumedBytes = previous ? previous->doneBytes() : 0;
    if (!lengthKnown) {
        // One request: without a length there is nothing to split. The cap bounds
        // what reaches the disk; the caller's digest check judges the bytes.
        const qint64 cap = qMin(sizeLimit, maxUnknownLength);
        qDebug() << "the length of" << url << "is unknown: taking its body whole, up to" << cap << "bytes";
        ranges.append({0, cap - 1});
    } else if (previous) {
        ranges = ResumeRecord::plan(previous->missing(), threadCount);
        qDebug() << "resumed bytes" << m_resumedBytes << "of" << totalSize;
    } else {
        for (int i = 1; i <= threadCount; ++i)
            ranges.append({segmentStart(i, threadCount, totalSize), segmentEnd(i, threadCount, totalSize)});
    }
    // Without a validator a later download could not tell a changed file: keep no record.
    std::shared_ptr<ResumeRecord> record;
    if (!validator.isEmpty() && totalSize > 0 && lengthKnown) {
        record = std::make_shared<ResumeRecord>();
        record->url = url;
        record->totalSize = totalSize;
        record->validator = validator;
        if (previous)
            record->done = previous->done;
        record->start(recordPath, file, ranges.size());
    }

    // Everything the slots read is in place before the first worker can report.
    threadList.clear();
    qDebug() << "totalSize " << totalSize;
    for (int i = 0; i < ranges.size(); ++i) {
        auto *worker = new DownloadThread(sameThread ? this : nullptr);
        connect(worker, &DownloadThread::finished, this, &DownloadControl::finishedSlot);
        connect(worker, &DownloadThread::progressChange, this, &DownloadControl::progressChangeSlot);
        connect(worker, &DownloadThread::failed, this, &DownloadControl::failedSlot);
        connect(worker, &DownloadThread::error, this, &DownloadControl::errorSlot);
        worker->record = record;
        worker->revalidate = revalidate;
        if (previous)
            worker->ifRange = validator;
        worker->fileSize = lengthKnown ? totalSize : -1;
        worker->lengthUnknown = !lengthKnown;
        worker->timer->setInterval(stallInterval);
        threadList.append(worker);
    }
    m_segmentReady = QVector<qint64>(ranges.size(), 0);
    state = Downloading;
    unfinishedCount = ranges.size();
    const QList<DownloadThread *> workers = threadList;
    for (int i = 0; i < workers.size(); ++i) {
        qDebug() << "startPoint " << ranges.at(i).first;
        qDebug() << "endPoint " << ranges.at(i).second;
        workers.at(i)->startDownload(i + 1, url, file, ranges.at(i).first, ranges.at(i).second);
    }
    return true;
}

void DownloadControl::progressChangeSlot(int index, qint64, qint64, qint64 segmentReady)
{
    // A report queued before the download ended may still come in.
    if (state != Downloading || index < 1 || index > m_segmentReady.size())
        return;
    m_segmentReady[index - 1] = segmentReady;
    qint64 sum = m_resumedBytes;
    for (qint64 ready : qAsConst(m_segmentReady))
        sum += ready;
    readySize = sum;
    emit progressChange(0, 0, totalSize, readySize);
}

void DownloadControl::finishedSlot(int)
{
    if (state != Downloading)
        return;
    if (--unfinishedCount == 0)
        downloadingFinish();
}

void DownloadControl::downloadingFinish()
{
    if (state != Downloading)
        return;
    file->flush();
    const qint64 length = file->size();
    file->close();
    file->deleteLater();
    file = nullptr;
    if (!lengthKnown) {
        qDebug() << "the file of unknown length has" << length << "bytes";
        totalSize = length;
    }
    if (length != totalSize) {
        reportError(DownloadFailure::WrongLength, DownloadMessages::wrongLength(length, totalSize), false);
        return;
    }
    state = Finished;
    for (DownloadThread *worker : qAsConst(threadList))
        worker->deleteLater();
    threadList.clear();
    emit finished(0);
}

void DownloadControl::failedSlot(int, DownloadFailure kind)
{
    m_workerFailure = kind;
}

void DownloadControl::errorSlot(int, const QString &errorString, bool isUploadLog)
{
    const DownloadFailure kind = m_workerFailure == DownloadFailure::None ? DownloadFailure::NetworkError : m_workerFailure;
    m_workerFailure = DownloadFailure::None;
    reportError(kind, errorString, isUploadLog);
}

void DownloadControl::reportSizeError(DownloadFailure kind, const QString &errorMessage)
{
    qDebug() << "download failed:" << DownloadFailures::name(kind);
    emit failed(kind);
    emit getFileSizeErrorSignal(errorMessage);
}

void DownloadControl::reportError(DownloadFailure kind, const QString &errorString, bool isUploadLog)
{
    if (hasError)
        return;
    for (DownloadThread *worker : qAsConst(threadList))
        worker->deleteLater();
    threadList.clear();
    hasError = true;
    state = Failed;
    // The failing segment saved the record before it reported.
    ResumeRecord kept;
    keptNewBytes = ResumeRecord::load(ResumeRecord::pathFor(filePath), &kept, nullptr) && kept.doneBytes() > m_resumedBytes;
    qDebug() << "download failed:" << DownloadFailures::name(kind);
    emit failed(kind);
    emit error(errorString, isUploadLog);
}
