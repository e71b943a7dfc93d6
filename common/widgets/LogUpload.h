#ifndef VELTORA_LOGUPLOAD_H
#define VELTORA_LOGUPLOAD_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class QObject;

// Sends this run's log to the vendor after a final failure: one multipart POST,
// waited for in a local event loop; nothing about the outcome is examined.
namespace LogUpload {

QString endpoint();

// Uploads the default log directory's file `logFileName`. The network manager is a
// child of `parent` and is released afterwards.
void upload(QObject *parent, const QString &logFileName);

} // namespace LogUpload

#endif
