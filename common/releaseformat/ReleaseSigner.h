#ifndef VELTORA_RELEASESIGNER_H
#define VELTORA_RELEASESIGNER_H

#include "ReleaseKey.h"

#include <QByteArray>
#include <QString>

// The vendor's secret Ed25519 release key: made once, kept off the update server,
// used by the release tool to sign every manifest. The key file is one base64 line
// of libsodium's 64-byte secret key, readable by its owner only.
class ReleaseSigner
{
public:
    ReleaseSigner() = default;
    ~ReleaseSigner();
    ReleaseSigner(const ReleaseSigner &) = delete;
    ReleaseSigner &operator=(const ReleaseSigner &) = delete;

    static QString secretKeyFileName() { return QStringLiteral("release-signing.key"); }

    // Writes a new pair into dir (the secret key with mode 0600, the public key as
    // ReleaseKey::fileName()); never overwrites an existing key.
    static bool generateKeyPair(const QString &dir, QByteArray *publicText, QString *error);

    // Rewrites a public key file as key.toLine(): after a hand-over the new key's file
    // carries its number, so bundles made with it start at that key.
    static bool writePublicKeyFile(const QString &path, const ReleaseKey &key, QString *error);

    bool load(const QString &secretKeyFile, QString *error);
    bool isNull() const { return m_secret.isEmpty(); }
    // The detached signature file's content: one base64 line.
    QByteArray sign(const QByteArray &message) const;
    ReleaseKey publicKey() const;

private:
    QByteArray m_secret;
};

#endif
