#include "DownloadFailure.h"

namespace DownloadFailures {

DownloadFailure forNetworkError(QNetworkReply::NetworkError code)
{
    switch (code) {
    case QNetworkReply::NoError:
        return DownloadFailure::None;
    case QNetworkReply::RemoteHostClosedError:
        return DownloadFailure::BrokenConnection;
    case QNetworkReply::TimeoutError:
        return DownloadFailure::TimedOut;
    case QNetworkReply::HostNotFoundError:
        return DownloadFailure::HostNotFound;
    case QNetworkReply::ContentNotFoundError:
        return DownloadFailure::NotFound;
    default:
        return DownloadFailure::NetworkError;
    }
}

const char *name(DownloadFailure kind)
{
    switch (kind) {
    case DownloadFailure::None: return "none";
    case DownloadFailure::BrokenConnection: return "broken connection";
    case DownloadFailure::TimedOut: return "timed out";
    case DownloadFailure::HostNotFound: return "host not found";
    case DownloadFailure::NotFound: return "not found";
    case DownloadFailure::NetworkError: return "network error";
    case DownloadFailure::UnexpectedStatus: return "unexpected status";
    case DownloadFailure::RedirectWithoutLocation: return "redirect without location";
    case DownloadFailure::UnsupportedAddress: return "unsupported address";
    case DownloadFailure::WrongPart: return "wrong part";
    case DownloadFailure::LongerThanAsked: return "longer than asked";
    case DownloadFailure::ChangedOnServer: return "changed on server";
    case DownloadFailure::Hijacked: return "hijacked";
    case DownloadFailure::InvalidSize: return "invalid size";
    case DownloadFailure::TooLarge: return "too large";
    case DownloadFailure::WrongLength: return "wrong length";
    case DownloadFailure::CannotPreallocate: return "cannot preallocate";
    case DownloadFailure::WriteFailed: return "write failed";
    }
    return "unknown";
}

void registerType()
{
    qRegisterMetaType<DownloadFailure>("DownloadFailure");
}

} // namespace DownloadFailures
