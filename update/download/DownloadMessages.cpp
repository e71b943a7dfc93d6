#include "DownloadMessages.h"

#include <QCoreApplication>

namespace DownloadMessages {
namespace {

const char *context(Source source)
{
    return source == Controller ? "DownloadControl" : "DownloadThread";
}

} // namespace

QString hijacked(Source source)
{
    return QCoreApplication::translate(context(source),
                                       "Your broadband service provider hijacked the download address, please download "
                                       "the latest version from <" VELTORA_VENDOR_HOST ">");
}

QString forNetworkError(Source source, QNetworkReply::NetworkError code, const QString &replyText)
{
    switch (code) {
    case QNetworkReply::RemoteHostClosedError:
        return QCoreApplication::translate(context(source), "The connection has been broken,please login and download again");
    case QNetworkReply::HostNotFoundError:
        return QCoreApplication::translate(context(source), "The server is not found,please check the network");
    case QNetworkReply::TimeoutError:
        return QCoreApplication::translate(context(source), "The connection timeout,please check the download url");
    case QNetworkReply::ContentNotFoundError:
        return source == Controller
            ? QCoreApplication::translate("DownloadControl", "The download file  is not found,please check the download url")
            : QCoreApplication::translate("DownloadThread", "The download file is not found,please check the download url");
    default:
        return replyText;
    }
}

QString redirectWithoutLocation(Source source)
{
    return QCoreApplication::translate(context(source),
                                       "The server redirected the download without a new address,please check the download url");
}

QString invalidSize(const QByteArray &contentLength)
{
    return QCoreApplication::translate("DownloadControl", "The server reported an invalid file size (%1),please check the download url")
        .arg(QString::fromLatin1(contentLength.left(40)));
}

QString cannotPreallocate(const QString &path, const QString &reason)
{
    return QCoreApplication::translate("DownloadControl", "Cannot create the file %1 at its full size: %2").arg(path, reason);
}

QString writeFailed(const QString &path, const QString &reason)
{
    return QCoreApplication::translate("DownloadThread", "Cannot write the file %1: %2").arg(path, reason);
}

QString unexpectedStatus(int status)
{
    return QCoreApplication::translate("DownloadThread", "The server answered the download with status %1,please check the download url")
        .arg(status);
}

QString changedOnServer()
{
    return QCoreApplication::translate("DownloadThread", "The download file has changed on the server,please download again");
}

QString wrongPart()
{
    return QCoreApplication::translate("DownloadThread", "The server sent another part of the file than asked for,please download again");
}

QString longerThanAsked()
{
    return QCoreApplication::translate("DownloadThread", "The server sent more of the file than asked for,please download again");
}

QString wrongLength(qint64 length, qint64 expected)
{
    return QCoreApplication::translate("DownloadControl", "The downloaded file has %1 bytes instead of %2,please download again")
        .arg(length)
        .arg(expected);
}

QString tooLarge(qint64 size, qint64 limit)
{
    return QCoreApplication::translate("DownloadControl", "The download file has %1 bytes, more than the %2 allowed,please check the download url")
        .arg(size)
        .arg(limit);
}

QString unsupportedAddress(Source source, const QString &scheme)
{
    return QCoreApplication::translate(context(source),
                                       "The server redirected the download to an unsupported address (%1),please check the download url")
        .arg(scheme.left(20));
}

QString longerThanAllowed(qint64 limit)
{
    return QCoreApplication::translate("DownloadThread", "The download file has more than the %1 bytes allowed,please check the download url")
        .arg(limit);
}

} // namespace DownloadMessages
