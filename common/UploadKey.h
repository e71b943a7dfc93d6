#ifndef VELTORA_UPLOADKEY_H
#define VELTORA_UPLOADKEY_H

#include <QByteArray>
#include <QtGlobal>

// The shared secret of the failure-log upload: the programs sign their upload with
// it and the vendor's log service checks it, so both sides take it from here.
namespace UploadKey {

// MD5 of the upload key followed by the Unix time in decimal, as 32 lower-case hex digits.
QByteArray keyFor(quint32 unixTime);

} // namespace UploadKey

#endif
