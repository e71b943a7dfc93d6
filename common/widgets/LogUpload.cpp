#include "LogUpload.h"

#include "DataPaths.h"
#include "UploadKey.h"

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

} // namespace

QString endpoint()
{
    return QStringLiteral("http://" VELTORA_VENDOR_HOST "/api/file.api.php?action=putFailedData");
}

void upload(QObject *parent, const QString &logFileName, int timeoutMs)
{
    qDebug() << "========upload Log========";
    const quint32 now = quint32(QDateTime::currentSecsSinceEpoch());

    auto *multiPart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    multiPart->append(textPart("form-data; name=\"key\"", UploadKey::keyFor(now)));
    multiPart->append(textPart("form-data; name=\"timestamp\"", QByteArray::number(now)));
    multiPart->append(textPart("form-data; name=\"save_name\"", logFileName.toLatin1()));

    // Always the default log directory, even when the log was moved to the Desktop.
    auto *log = new QFile(DataPaths::updateDirectory() + QLatin1Char('/') + logFileName);
    log->open(QIODevice::ReadOnly);
    QHttpPart data;
    data.setHeader(QNetworkRequest::ContentDispositionHeader,
                   QStringLiteral("form-data; name=\"save_data\";filename=\"%1\"").arg(QStringLiteral("text.txt")));
    data.setBodyDevice(log);
    multiPart->append(data);

    auto *manager = new QNetworkAccessManager(parent);
    QNetworkReply *reply = manager->post(QNetworkRequest(QUrl(endpoint())), multiPart);
    multiPart->setParent(reply);

    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    if (!reply->isFinished()) {
        // An endpoint that never answers must not hold back the final message.
        qDebug() << "log upload: no answer within" << timeoutMs << "ms";
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
