#include "FileSha256.h"

#include "FileUtils.h"

#include <sodium.h>

QByteArray getLocalFileSha256Value(const QString &path)
{
    if (sodium_init() < 0)
        return QByteArray();
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    const bool read = readFileInPieces(path, [&state](const char *data, qint64 size) {
        crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char *>(data),
                                  static_cast<unsigned long long>(size));
    });
    if (!read)
        return QByteArray();
    QByteArray digest(crypto_hash_sha256_BYTES, Qt::Uninitialized);
    crypto_hash_sha256_final(&state, reinterpret_cast<unsigned char *>(digest.data()));
    return digest.toHex();
}
