#include "ReleaseKey.h"

#include "SignedManifest.h"

#include <QFile>
#include <QFileInfo>

#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace {

// A key file is one short line; anything far larger is refused before it is read, as
// are manifests and signatures beyond their caps (SignedManifest).
constexpr qint64 maxLineFile = 1024;

bool readBounded(const QString &path, qint64 limit, QByteArray *bytes, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1").arg(path);
        return false;
    }
    if (file.size() > limit) {
        *error = QStringLiteral("%1 is larger than %2 bytes").arg(path).arg(limit);
        return false;
    }
    *bytes = file.read(limit + 1);
    if (bytes->size() > limit) {
        *error = QStringLiteral("%1 is larger than %2 bytes").arg(path).arg(limit);
        return false;
    }
    return true;
}

bool decodeLine(const QByteArray &text, int size, QByteArray *raw)
{
    const auto decoded = QByteArray::fromBase64Encoding(text.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size)
        return false;
    *raw = decoded.decoded;
    return true;
}

} // namespace

QString ReleaseKey::bundleKeyPath(const QString &installPath)
{
    return installPath + QStringLiteral("/Contents/Resources/") + fileName();
}

bool ReleaseKey::installed(const QString &installPath, ReleaseKey *key, QString *error)
{
    *key = ReleaseKey();
    const QByteArray builtIn(VELTORA_RELEASE_PUBLIC_KEY);
    if (!builtIn.isEmpty())
        return fromText(builtIn, key, error);
    const QString path = bundleKeyPath(installPath);
    // Only a missing file means "no key": a lookup that fails otherwise (a folder that
    // cannot be searched, a link loop on the way) must not turn signing off.
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
        if (errno == ENOENT)
            return true;
        *error = QStringLiteral("cannot look for the release key %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    QByteArray text;
    return readBounded(path, maxLineFile, &text, error) && fromText(text, key, error);
}

bool ReleaseKey::fromText(const QByteArray &text, ReleaseKey *key, QString *error)
{
    const QList<QByteArray> parts = text.simplified().split(' ');
    QByteArray raw;
    if (parts.size() > 2 || !decodeLine(parts.first(), crypto_sign_PUBLICKEYBYTES, &raw)) {
        *error = QStringLiteral("the release key is not one base64 line of %1 bytes").arg(crypto_sign_PUBLICKEYBYTES);
        return false;
    }
    int number = 1;
    if (parts.size() == 2 && !parseKeyNumber(parts.at(1), &number)) {
        *error = QStringLiteral("the release key's number is not a whole number from 1 to %1: %2")
                     .arg(maxNumber)
                     .arg(QString::fromLatin1(parts.at(1).left(20)));
        return false;
    }
    key->m_key = raw;
    key->m_number = number;
    return true;
}

QByteArray ReleaseKey::toLine() const
{
    return m_number == 1 ? toText() : toText() + ' ' + QByteArray::number(m_number);
}

bool ReleaseKey::parseKeyNumber(const QByteArray &text, int *number)
{
    // Plain decimal digits only: no sign, no leading zero, nothing a locale reads differently.
    if (text.isEmpty() || text.size() > 7 || text.startsWith('0'))
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    const int value = text.toInt();
    if (value < 1 || value > maxNumber)
        return false;
    *number = value;
    return true;
}

bool ReleaseKey::verify(const QByteArray &message, const QByteArray &signatureText, QString *error) const
{
    if (isNull() || sodium_init() < 0) {
        *error = QStringLiteral("no release key to verify with");
        return false;
    }
    QByteArray signature;
    if (!decodeLine(signatureText, crypto_sign_BYTES, &signature)) {
        *error = QStringLiteral("the signature is not one base64 line of %1 bytes").arg(crypto_sign_BYTES);
        return false;
    }
    if (crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.constData()),
                                    reinterpret_cast<const unsigned char *>(message.constData()),
                                    static_cast<unsigned long long>(message.size()),
                                    reinterpret_cast<const unsigned char *>(m_key.constData()))
        != 0) {
        *error = QStringLiteral("the signature does not match the manifest and the release key");
        return false;
    }
    return true;
}

bool ReleaseKey::verifyManifest(const QString &manifestPath, QByteArray *bytes, QString *error) const
{
    QByteArray manifest;
    QByteArray signature;
    if (!readBounded(manifestPath, SignedManifest::maxManifestSize, &manifest, error)
        || !readBounded(SignedManifest::signaturePathOf(manifestPath), SignedManifest::maxSignatureSize, &signature, error)
        || !verify(manifest, signature, error))
        return false;
    *bytes = manifest;
    return true;
}
