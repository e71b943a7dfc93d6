#ifndef VELTORA_DOWNLOADMESSAGES_H
#define VELTORA_DOWNLOADMESSAGES_H

#include <QNetworkReply>
#include <QString>

// The download engine's user-facing texts. The controller and its workers word
// them alike but translate them in their own contexts, and the "not found" text
// of the controller has two blanks after "file".
namespace DownloadMessages {

enum Source { Controller, Worker };

QString hijacked(Source source);
QString forNetworkError(Source source, QNetworkReply::NetworkError code, const QString &replyText);

} // namespace DownloadMessages

#endif
