#include "UploadKey.h"

#include <QCryptographicHash>

namespace UploadKey {
namespace {

const char uploadKey[] = "5d0c8a7e1f3b49a2c6e8d4b07a91f35c";

} // namespace

QByteArray keyFor(quint32 unixTime)
{
    QByteArray text(uploadKey);
    text += QByteArray::number(unixTime);
    return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex();
}

} // namespace UploadKey
