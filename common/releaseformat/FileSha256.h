#ifndef VELTORA_FILESHA256_H
#define VELTORA_FILESHA256_H

#include <QByteArray>
#include <QString>

// The lower-case hexadecimal SHA-256 of a whole file, or an empty array when the
// file cannot be read: the stronger digest that signed manifests carry beside the MD5.
QByteArray getLocalFileSha256Value(const QString &path);

#endif
