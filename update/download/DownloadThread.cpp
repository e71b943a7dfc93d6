#include "DownloadThread.h"

#include "DownloadMessages.h"
#include "ResumeRecord.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSslSocket>
#include <QTimer>

namespace {

// Whether a Content-Range header ("bytes 100-199/1000") starts at `start`.
bool rangeStartsAt(const QByteArray &contentRange, qint64 start)
{
    const QByteArray value = contentRange.trimmed();
    if (!value.startsWith("bytes "))
        return false;
    const int dash = value.indexOf('-');
    bool ok = false;
    const qint64 first = value.mid(6, dash - 6).trimmed().toLongLong(&ok);
    return dash > 6 && ok && first == start;
}

// Bounds what a reply may hold before we take it: the body goes to the file as it
// arrives, so a download needs a few megabytes whatever the file's size.
constexpr qint64 replyBufferSize = 1 << 20;
}

DownloadThread::DownloadThread(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<QFile *>("QFile*");
    qRegisterMetaType<QNetworkReply::NetworkError>("QNetworkReply::NetworkError");
    DownloadFailures::registerType();
    manager = new QNetworkAccessManager(this);
    timer = new QTimer(this);
    timer->setInterval(stallCheckInterval);
    connect(timer, &QTimer::timeout, this, &DownloadThread::downloadTimeOut);
    connect(this, &DownloadThread::redirect, this, &DownloadThread::startDownload);
}

DownloadThread::~DownloadThread()
{
    // Stopped while running (another segment failed): keep what we wrote.
    if (record && state == Downloading)
        record->saveNow();
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
    if (!lengthUnknown)
        request.setRawHeader("Range", QStringLiteral("bytes=%0-%1").arg(readySize + startPoint).arg(endPoint).toLatin1());
    if (!ifRange.isEmpty())
        request.setRawHeader("If-Range", ifRange);
    if (revalidate)
        request.setRawHeader("Cache-Control", "no-cache");
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

int DownloadThread::status() const
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool DownloadThread::isDownloadAddress(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || (scheme == QLatin1String("https") && QSslSocket::supportsSsl()));
}

qint64 DownloadThread::expectedBytes() const
{
    // The Range's last position is inclusive, and the last segment's is the size itself.
    const qint64 end = fileSize >= 0 ? qMin(endPoint + 1, fileSize) : endPoint + 1;
    return qMax<qint64>(0, end - startPoint);
}

void DownloadThread::readyReadSlot()
{
    if (sender() == reply && state == Downloading)
        writeArrived();
}

// Writes what has arrived at the segment's offset. Only a body we asked for is
// written: a range (206) or, from a server that ignores ranges, the whole file
// (200), but not when we resumed and the 200 says the file changed. Redirects and
// error pages are dropped, and so is the answer after the last redirect we follow.
void DownloadThread::writeArrived()
{
    const QByteArray data = reply->readAll();
    const int code = status();
    if (code == 200 && !ifRange.isEmpty()) {
        if (record)
            record->discard();
        fail(DownloadFailure::ChangedOnServer, DownloadMessages::changedOnServer());
        return;
    }
    if (data.isEmpty() || (code != 206 && code != 200) || redirectTimes > maxRedirects || !file)
        return;
    if (code == 206 && !rangeStartsAt(reply->rawHeader("Content-Range"), startPoint)) {
        fail(DownloadFailure::WrongPart, DownloadMessages::wrongPart());
        return;
    }
    // More than the range (a server ignoring it, or lying about the size), or than the
    // cap of a body of unknown length: none of it is written, so the file never grows
    // past the probed size or the cap.
    if (data.size() > expectedBytes() - m_written) {
        if (lengthUnknown)
            fail(DownloadFailure::TooLarge, DownloadMessages::longerThanAllowed(expectedBytes()));
        else
            fail(DownloadFailure::LongerThanAsked, DownloadMessages::longerThanAsked());
        return;
    }
    if (!file->seek(startPoint + m_written) || file->write(data) != data.size()) {
        fail(DownloadFailure::WriteFailed, DownloadMessages::writeFailed(file->fileName(), file->errorString()));
        return;
    }
    m_written += data.size();
    if (record) {
        record->noteWritten(index, startPoint, startPoint + m_written);
        record->saveIfDue();
    }
}

void DownloadThread::report(DownloadFailure kind, const QString &message, bool isUploadLog)
{
    emit failed(index, kind);
    emit error(index, message, isUploadLog);
}

void DownloadThread::fail(DownloadFailure kind, const QString &message)
{
    timer->stop();
    errorString = message;
    state = Failed;
    qDebug() << QStringLiteral("-----------thread-%1 ").arg(index) << errorString;
    if (record)
        record->saveNow();
    // No more data for this segment: it would only be dropped.
    disconnect(reply, nullptr, this, nullptr);
    reply->abort();
    report(kind, errorString, false);
}

void DownloadThread::downloadProcessSlot(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived)
    Q_UNUSED(bytesTotal)
    if (sender() != reply)
        return; // a reply left behind by a redirect
    // Only what reached the file: bytes thrown away are no progress, or an error page
    // that trickles for ever would keep the stall check from ever firing.
    readySize = m_written;
    emit progressChange(index, startPoint, endPoint, readySize);
}

void DownloadThread::finishedSlot()
{
    if (state != Downloading || sender() != reply)
        return;
    timer->stop();
    if (redirectTimes > maxRedirects) {
        state = Failed;
        report(DownloadFailure::Hijacked, DownloadMessages::hijacked(DownloadMessages::Worker), true);
        return;
    }

    const int code = status();
    qDebug() << "###thread" << index << "http_status" << code;
    if (code == 301 || code == 302) {
        const QString location = QString::fromLatin1(reply->rawHeader("Location"));
        ++redirectTimes;
        qDebug() << "###thread" << index << "--times" << redirectTimes << ">>>>>>>redirect url" << location;
        if (location.trimmed().isEmpty()) {
            fail(DownloadFailure::RedirectWithoutLocation, DownloadMessages::redirectWithoutLocation(DownloadMessages::Worker));
            return;
        }
        const QUrl target = QUrl(url).resolved(QUrl(location));
        if (!isDownloadAddress(target)) {
            fail(DownloadFailure::UnsupportedAddress, DownloadMessages::unsupportedAddress(DownloadMessages::Worker, target.scheme()));
            return;
        }
        state = Idle;
        reply->readAll();
        readySize = 0;
        emit redirect(index, target.toString(), file, startPoint, endPoint);
        return;
    }

    writeArrived();
    if (state != Downloading)
        return; // the write failed or the file changed: reported
    if (code != 200 && code != 206) {
        // Nothing of ours was in this answer: finishing would claim a segment we do not have.
        fail(DownloadFailure::UnexpectedStatus, DownloadMessages::unexpectedStatus(code));
        return;
    }
    if (!lengthUnknown && m_written != expectedBytes()) {
        // An answer that ends before its range is how a cut connection often looks: same road.
        fail(DownloadFailure::BrokenConnection,
             DownloadMessages::forNetworkError(DownloadMessages::Worker, QNetworkReply::RemoteHostClosedError, QString()));
        return;
    }
    qDebug() << QStringLiteral("###########thread-%1 finish,size %2").arg(index).arg(m_written);
    file->flush();
    reply->deleteLater();
    manager->deleteLater();
    state = Finished;
    if (record)
        record->segmentFinished();
    emit finished(index);
}

void DownloadThread::errorSlot(QNetworkReply::NetworkError code)
{
    if (sender() != reply)
        return; // a reply left behind by a redirect
    timer->stop();
    if (code == QNetworkReply::NoError)
        return;
    // What arrived before the break is good: keep it, so that a resume need not fetch it again.
    if (state == Downloading)
        writeArrived();
    if (state != Downloading)
        return; // the write failed: reported
    errorString = DownloadMessages::forNetworkError(DownloadMessages::Worker, code, reply->errorString());
    state = Failed;
    qDebug() << QStringLiteral("-----------thread-%1 ").arg(index) << errorString;
    if (record)
        record->saveNow();
    report(DownloadFailures::forNetworkError(code), errorString, false);
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
        if (record)
            record->saveNow();
        report(DownloadFailure::BrokenConnection, errorString, false);
    }
    timer->start();
    ++stallCount;
}
