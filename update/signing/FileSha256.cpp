#include "FileSha256.h"

#include <QFile>

#include <sodium.h>

QByteArray getLocalFileSha256Value(const QString &path)
{
    if (sodium_init() < 0)
        return QByteArray();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    QByteArray buffer(1 << 18, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n < 0)
            return QByteArray();
        if (n == 0)
            break;
        crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char *>(buffer.constData()),
                                  static_cast<unsigned long long>(n));
    }
    QByteArray digest(crypto_hash_sha256_BYTES, Qt::Uninitialized);
    crypto_hash_sha256_final(&state, reinterpret_cast<unsigned char *>(digest.data()));
    return digest.toHex();
}
