#include "DownloadControl.h"

#include "DownloadMessages.h"
#include "DownloadThread.h"

#include <QDebug>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QUrl>

#include <memory>

DownloadControl::DownloadControl(QObject *parent) : QObject(parent)
{
}

qint64 DownloadControl::getFileSize(QString url)
{
    for (;;) {
        if (redirectTimes > DownloadThread::maxRedirects) {
            emit error(DownloadMessages::hijacked(DownloadMessages::Controller), true);
            return -1;
        }

        QNetworkAccessManager manager;
        QEventLoop loop;
        QNetworkReply *reply = manager.head(QNetworkRequest{QUrl(url)});
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();

        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        qDebug() << "get files sizes==== http_status: " << status;
        if (status == 301 || status == 302) {
            const QString location = QString::fromLatin1(reply->rawHeader("Location"));
            ++redirectTimes;
            qDebug() << "###get file sizes" << "--times" << redirectTimes << ">>>>>>>redirect url" << location;
            reply->deleteLater();
            // A relative Location is taken relative to the address that gave it.
            url = QUrl(url).resolved(QUrl(location)).toString();
            continue;
        }
        if (reply->error() == QNetworkReply::NoError) {
            const qint64 size = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
            reply->deleteLater();
            return size;
        }
        const QString message = DownloadMessages::forNetworkError(DownloadMessages::Controller, reply->error(),
                                                                  reply->errorString());
        emit getFileSizeErrorSignal(message);
        reply->deleteLater();
        return -1;
    }
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
    // Objects made on another thread than ours cannot have us as parent.
    const bool sameThread = QThread::currentThread() == thread();
    file = new QFile(filePath, sameThread ? this : nullptr);
    if (!file->open(QIODevice::WriteOnly)) {
        file->close();
        delete file;
        file = nullptr;
        return false;
    }
    file->resize(totalSize);

    threadList.clear();
    qDebug() << "totalSize " << totalSize;
    for (int i = 1; i <= threadCount; ++i) {
        const qint64 startPoint = segmentStart(i, threadCount, totalSize);
        const qint64 endPoint = segmentEnd(i, threadCount, totalSize);
        qDebug() << "startPoint " << startPoint;
        qDebug() << "endPoint " << endPoint;
        auto *worker = new DownloadThread(sameThread ? this : nullptr);
        connect(worker, &DownloadThread::finished, this, &DownloadControl::finishedSlot);
        connect(worker, &DownloadThread::progressChange, this, &DownloadControl::progressChangeSlot);
        connect(worker, &DownloadThread::error, this, &DownloadControl::errorSlot);
        worker->startDownload(i, url, file, startPoint, endPoint);
        threadList.append(worker);
    }
    state = Downloading;
    unfinishedCount = threadCount;
    return true;
}

void DownloadControl::progressChangeSlot(int, qint64, qint64, qint64)
{
    qint64 sum = 0;
    for (DownloadThread *worker : qAsConst(threadList))
        sum += worker->readySize;
    readySize = sum;
    emit progressChange(0, 0, totalSize, readySize);
}

void DownloadControl::finishedSlot(int)
{
    if (--unfinishedCount == 0)
        downloadingFinish();
}

void DownloadControl::downloadingFinish()
{
    if (state != Downloading)
        return;
    file->flush();
    file->close();
    file->deleteLater();
    file = nullptr;
    state = Finished;
    for (DownloadThread *worker : qAsConst(threadList))
        worker->deleteLater();
    threadList.clear();
    emit finished(0);
}

void DownloadControl::errorSlot(int, const QString &errorString, bool isUploadLog)
{
    if (hasError)
        return;
    for (DownloadThread *worker : qAsConst(threadList))
        worker->deleteLater();
    hasError = true;
    state = Failed;
    emit error(errorString, isUploadLog);
}
