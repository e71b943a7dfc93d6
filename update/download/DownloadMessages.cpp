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

} // namespace DownloadMessages
