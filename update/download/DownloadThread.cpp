#include "DownloadThread.h"

#include "DownloadMessages.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QTimer>

namespace {
// Bounds what a reply may hold before we take it: the body goes to the file as it
// arrives, so a download needs a few megabytes whatever the file's size.
constexpr qint64 replyBufferSize = 1 << 20;
}

DownloadThread::DownloadThread(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<QFile *>("QFile*");
    qRegisterMetaType<QNetworkReply::NetworkError>("QNetworkReply::NetworkError");
    manager = new QNetworkAccessManager(this);
    timer = new QTimer(this);
    timer->setInterval(stallCheckInterval);
    connect(timer, &QTimer::timeout, this, &DownloadThread::downloadTimeOut);
    connect(this, &DownloadThread::redirect, this, &DownloadThread::startDownload);
}

DownloadThread::~DownloadThread()
{
    timer->deleteLater();
}

void DownloadThread::startDownload(int _index, const QString &_url, QFile *_file, qint64 _startPoint, qint64 _endPoint)
{
    if (state == Downloading)
        return;
    index = _index;
    url = _url;
    file = _file;
    startPoint = _startPoint;
    endPoint = _endPoint;
    readySize = 0;
    m_written = 0;

    QNetworkRequest request{QUrl(url)};
    request.setRawHeader("Range", QStringLiteral("bytes=%0-%1").arg(readySize + startPoint).arg(endPoint).toLatin1());
    reply = manager->get(request);
    reply->setReadBufferSize(replyBufferSize);
    connect(reply, &QNetworkReply::finished, this, &DownloadThread::finishedSlot);
    connect(reply, &QNetworkReply::downloadProgress, this, &DownloadThread::downloadProcessSlot);
    connect(reply, &QIODevice::readyRead, this, &DownloadThread::readyReadSlot);
    const bool connected = connect(reply, &QNetworkReply::errorOccurred, this, &DownloadThread::errorSlot);
    qDebug() << QStringLiteral("###########thread-%1 downloadThread connect: ").arg(index) << (connected ? "true" : "false");

    state = Downloading;
    timer->stop();
    timer->start();
    emit progressChange(index, startPoint, endPoint, 0);
}

bool DownloadThread::isRedirect() const
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status == 301 || status == 302;
}

void DownloadThread::readyReadSlot()
{
    if (sender() == reply && state == Downloading)
        writeArrived();
}

// Writes what has arrived at the segment's offset. A redirect's body is dropped, and
// so is the answer to the request after the last redirect we follow.
void DownloadThread::writeArrived()
{
    const QByteArray data = reply->readAll();
    if (data.isEmpty() || isRedirect() || redirectTimes > maxRedirects || !file)
        return;
    file->seek(startPoint + m_written);
    file->write(data);
    m_written += data.size();
}

void DownloadThread::downloadProcessSlot(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesTotal)
    if (sender() != reply)
        return; // a reply left behind by a redirect
    readySize = bytesReceived;
    emit progressChange(index, startPoint, endPoint, readySize);
}

void DownloadThread::finishedSlot()
{
    if (state != Downloading || sender() != reply)
        return;
    timer->stop();
    if (redirectTimes > maxRedirects) {
        state = Failed;
        emit error(index, DownloadMessages::hijacked(DownloadMessages::Worker), true);
        return;
    }

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    qDebug() << "###thread" << index << "http_status" << status;
    if (status == 301 || status == 302) {
        const QString location = QString::fromLatin1(reply->rawHeader("Location"));
        ++redirectTimes;
        qDebug() << "###thread" << index << "--times" << redirectTimes << ">>>>>>>redirect url" << location;
        state = Idle;
        reply->readAll();
        readySize = 0;
        emit redirect(index, QUrl(url).resolved(QUrl(location)).toString(), file, startPoint, endPoint);
        return;
    }

    writeArrived();
    qDebug() << QStringLiteral("###########thread-%1 finish,size %2").arg(index).arg(m_written);
    file->flush();
    reply->deleteLater();
    manager->deleteLater();
    state = Finished;
    emit finished(index);
}

void DownloadThread::errorSlot(QNetworkReply::NetworkError code)
{
    timer->stop();
    if (code == QNetworkReply::NoError)
        return;
    errorString = DownloadMessages::forNetworkError(DownloadMessages::Worker, code, reply->errorString());
    state = Failed;
    qDebug() << QStringLiteral("-----------thread-%1 ").arg(index) << errorString;
    emit error(index, errorString, false);
}

void DownloadThread::downloadTimeOut()
{
    qDebug() << ">>>>thread " << index << " timeout check!" << lastCheckSize << readySize.load();
    if (readySize != lastCheckSize) {
        lastCheckSize = readySize;
        return;
    }
    timer->stop();
    if (stallCount >= 1) {
        errorString = DownloadMessages::forNetworkError(DownloadMessages::Worker, QNetworkReply::RemoteHostClosedError, QString());
        emit error(index, errorString, false);
    }
    timer->start();
    ++stallCount;
}
