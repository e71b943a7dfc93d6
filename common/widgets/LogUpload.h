#ifndef VELTORA_LOGUPLOAD_H
#define VELTORA_LOGUPLOAD_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class QObject;

// Sends this run's log to the vendor after a final failure: one multipart POST,
// waited for in a local event loop until it ends or stays idle too long; nothing
// about the outcome is examined.
namespace LogUpload {

QString endpoint();

// How long the upload may go without a byte sent or received: the final message comes after it.
constexpr int replyTimeoutMs = 30000;

// Uploads the default log directory's file `logFileName`, giving up once no byte has
// been sent or received for `timeoutMs`. The network manager is a child of `parent`
// and is released afterwards.
void upload(QObject *parent, const QString &logFileName, int timeoutMs = replyTimeoutMs);

} // namespace LogUpload

#endif
