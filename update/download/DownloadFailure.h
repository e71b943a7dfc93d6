#ifndef VELTORA_DOWNLOADFAILURE_H
#define VELTORA_DOWNLOADFAILURE_H

#include <QMetaType>
#include <QNetworkReply>

// Why a download failed. The download engine reports it just before the text that
// tells a person, so that callers decide on what happened and never on the wording,
// which a translation may change.
enum class DownloadFailure : int {
    None = 0,
    // The connection broke off, stalled or ended before the range it was asked for.
    BrokenConnection,
    TimedOut,
    HostNotFound,
    NotFound,
    // Any other network error; the text is the network library's own.
    NetworkError,
    // Refusals by the server: an answer we cannot take.
    UnexpectedStatus,
    RedirectWithoutLocation,
    UnsupportedAddress,
    WrongPart,
    LongerThanAsked,
    ChangedOnServer,
    // More than ten redirects: the address was taken over on the way.
    Hijacked,
    // Sizes: one that is no size, one past the caller's cap (announced or as the bytes
    // came), a finished file of another length than announced.
    InvalidSize,
    TooLarge,
    WrongLength,
    // Local failures: the file could not be made full size or written.
    CannotPreallocate,
    WriteFailed,
};

Q_DECLARE_METATYPE(DownloadFailure)

namespace DownloadFailures {

// The kind of a network error as the reply reports it.
DownloadFailure forNetworkError(QNetworkReply::NetworkError code);

// Whether the connection broke off or timed out, as opposed to a refusal by the
// server or a local failure: only such a download is worth continuing.
inline bool isBrokenConnection(DownloadFailure kind)
{
    return kind == DownloadFailure::BrokenConnection || kind == DownloadFailure::TimedOut;
}

// A name for the log.
const char *name(DownloadFailure kind);

// Makes the kind travel in queued signals; called by the engine's constructors.
void registerType();

} // namespace DownloadFailures

#endif
