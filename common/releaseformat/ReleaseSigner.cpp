#include "ReleaseSigner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <sodium.h>
#include <sys/stat.h>

namespace {

bool writeKeyFile(const QString &path, const QByteArray &line, mode_t mode, QString *error)
{
    QSaveFile file(path);
    // The mode is set on the still empty temporary file, so the secret is never readable by others.
    if (!file.open(QIODevice::WriteOnly) || ::fchmod(file.handle(), mode) != 0 || file.write(line) != line.size()
        || !file.commit()) {
        *error = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    return true;
}

} // namespace

ReleaseSigner::~ReleaseSigner()
{
    if (!m_secret.isEmpty())
        sodium_memzero(m_secret.data(), size_t(m_secret.size()));
}

bool ReleaseSigner::generateKeyPair(const QString &dir, QByteArray *publicText, QString *error)
{
    if (sodium_init() < 0) {
        *error = QStringLiteral("libsodium cannot be initialised");
        return false;
    }
    const QString secretPath = dir + QLatin1Char('/') + secretKeyFileName();
    const QString publicPath = dir + QLatin1Char('/') + ReleaseKey::fileName();
    for (const QString &path : {secretPath, publicPath}) {
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
            *error = QStringLiteral("%1 exists already; a release key is made once").arg(path);
            return false;
        }
    }
    if (!QDir().mkpath(dir)) {
        *error = QStringLiteral("cannot create the folder %1").arg(dir);
        return false;
    }
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, Qt::Uninitialized);
    QByteArray secretKey(crypto_sign_SECRETKEYBYTES, Qt::Uninitialized);
    crypto_sign_keypair(reinterpret_cast<unsigned char *>(publicKey.data()), reinterpret_cast<unsigned char *>(secretKey.data()));
    QByteArray secretLine = secretKey.toBase64() + '\n';
    const bool ok = writeKeyFile(secretPath, secretLine, 0600, error)
        && writeKeyFile(publicPath, publicKey.toBase64() + '\n', 0644, error);
    sodium_memzero(secretKey.data(), size_t(secretKey.size()));
    sodium_memzero(secretLine.data(), size_t(secretLine.size()));
    if (ok)
        *publicText = publicKey.toBase64();
    return ok;
}

bool ReleaseSigner::writePublicKeyFile(const QString &path, const ReleaseKey &key, QString *error)
{
    return writeKeyFile(path, key.toLine() + '\n', 0644, error);
}

bool ReleaseSigner::load(const QString &secretKeyFile, QString *error)
{
    if (sodium_init() < 0) {
        *error = QStringLiteral("libsodium cannot be initialised");
        return false;
    }
    QFile file(secretKeyFile);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the signing key %1").arg(secretKeyFile);
        return false;
    }
    QByteArray text = file.read(1024);
    const auto decoded = QByteArray::fromBase64Encoding(text.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    sodium_memzero(text.data(), size_t(text.size()));
    if (!decoded || decoded.decoded.size() != crypto_sign_SECRETKEYBYTES) {
        *error = QStringLiteral("the signing key %1 is not one base64 line of %2 bytes").arg(secretKeyFile).arg(crypto_sign_SECRETKEYBYTES);
        return false;
    }
    m_secret = decoded.decoded;
    return true;
}

QByteArray ReleaseSigner::sign(const QByteArray &message) const
{
    QByteArray signature(crypto_sign_BYTES, Qt::Uninitialized);
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char *>(message.constData()),
                         static_cast<unsigned long long>(message.size()),
                         reinterpret_cast<const unsigned char *>(m_secret.constData()));
    return signature.toBase64() + '\n';
}

ReleaseKey ReleaseSigner::publicKey() const
{
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, Qt::Uninitialized);
    crypto_sign_ed25519_sk_to_pk(reinterpret_cast<unsigned char *>(publicKey.data()),
                                 reinterpret_cast<const unsigned char *>(m_secret.constData()));
    ReleaseKey key;
    QString ignored;
    ReleaseKey::fromText(publicKey.toBase64(), &key, &ignored);
    return key;
}
