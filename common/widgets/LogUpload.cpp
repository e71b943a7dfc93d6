#include "LogUpload.h"

#include "DataPaths.h"
#include "UploadKey.h"
#include "UploadNames.h"

#include <QDateTime>
#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace LogUpload {
namespace {

QHttpPart textPart(const QByteArray &disposition, const QByteArray &body)
{
    QHttpPart part;
    part.setHeader(QNetworkRequest::ContentDispositionHeader, QString::fromLatin1(disposition));
    part.setBody(body);
    return part;
}

QByteArray formData(const char *name)
{
    return QByteArray("form-data; name=\"") + name + '"';
}

} // namespace

QString endpoint()
{
    return QStringLiteral("http://" VELTORA_VENDOR_HOST) + QLatin1String(UploadNames::path) + QLatin1Char('?')
        + QLatin1String(UploadNames::actionParameter) + QLatin1Char('=') + QLatin1String(UploadNames::action);
}

void upload(QObject *parent, const QString &logFileName, int timeoutMs)
{
    qDebug() << "========upload Log========";
    const quint32 now = quint32(QDateTime::currentSecsSinceEpoch());

    auto *multiPart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    multiPart->append(textPart(formData(UploadNames::keyPart), UploadKey::keyFor(now)));
    multiPart->append(textPart(formData(UploadNames::timestampPart), QByteArray::number(now)));
    multiPart->append(textPart(formData(UploadNames::namePart), logFileName.toLatin1()));

    // Always the default log directory, even when the log was moved to the Desktop.
    auto *log = new QFile(DataPaths::updateDirectory() + QLatin1Char('/') + logFileName);
    log->open(QIODevice::ReadOnly);
    QHttpPart data;
    data.setHeader(QNetworkRequest::ContentDispositionHeader,
                   QString::fromLatin1(formData(UploadNames::dataPart) + ";filename=\"text.txt\""));
    data.setBodyDevice(log);
    multiPart->append(data);

    auto *manager = new QNetworkAccessManager(parent);
    QNetworkReply *reply = manager->post(QNetworkRequest(QUrl(endpoint())), multiPart);
    multiPart->setParent(reply);

    // An idle limit, not a total one: a large log on a slow uplink keeps going as long as
    // bytes move, while an endpoint that goes silent does not hold back the final message.
    QEventLoop loop;
    QTimer idle;
    idle.setSingleShot(true);
    idle.setInterval(timeoutMs);
    QObject::connect(&idle, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto moved = [&idle](qint64, qint64) { idle.start(); };
    QObject::connect(reply, &QNetworkReply::uploadProgress, &idle, moved);
    QObject::connect(reply, &QNetworkReply::downloadProgress, &idle, moved);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    idle.start();
    loop.exec();
    if (!reply->isFinished()) {
        qDebug() << "log upload: nothing sent or received for" << timeoutMs << "ms";
        QObject::disconnect(reply, nullptr, &loop, nullptr);
        reply->abort();
    }

    qDebug() << QString::fromLatin1(reply->readAll());
    log->close();
    log->deleteLater();
    reply->deleteLater();
    manager->deleteLater();
}

} // namespace LogUpload
