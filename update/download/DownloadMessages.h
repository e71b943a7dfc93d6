#ifndef VELTORA_DOWNLOADMESSAGES_H
#define VELTORA_DOWNLOADMESSAGES_H

#include <QNetworkReply>
#include <QString>

// The download engine's user-facing texts. The controller and its workers word
// them alike but translate them in their own contexts, and the "not found" text
// of the controller has two blanks after "file". They are for people only: what
// happened travels beside them as a DownloadFailure.
namespace DownloadMessages {

enum Source { Controller, Worker };

QString hijacked(Source source);
QString forNetworkError(Source source, QNetworkReply::NetworkError code, const QString &replyText);
// A 301 or 302 answer without a "Location" to follow.
QString redirectWithoutLocation(Source source);
// A Content-Length that is not a size we can hold, or a file we cannot make that large.
QString invalidSize(const QByteArray &contentLength);
QString cannotPreallocate(const QString &path, const QString &reason);
// Writing the downloaded bytes failed (a full disk, a size limit...).
QString writeFailed(const QString &path, const QString &reason);
// A final answer that is neither a redirect nor a body we asked for.
QString unexpectedStatus(int status);
// The file changed on the server since part of it was downloaded.
QString changedOnServer();
// A partial answer that starts elsewhere than the range asked for.
QString wrongPart();
// An answer running past the range asked for (one ending before it is a broken connection).
QString longerThanAsked();
// A finished file whose length is not the size the probe found.
QString wrongLength(qint64 length, qint64 expected);
// A file larger than what the caller takes of this kind (a manifest, a signature).
QString tooLarge(qint64 size, qint64 limit);
// A redirect to an address that is not downloaded over http (file:, data:, ...).
QString unsupportedAddress(Source source, const QString &scheme);
// A body of unknown length that runs past what the caller takes of this kind.
QString longerThanAllowed(qint64 limit);

} // namespace DownloadMessages

#endif
