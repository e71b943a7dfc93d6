#ifndef VELTORA_RELEASEKEY_H
#define VELTORA_RELEASEKEY_H

#include <QByteArray>
#include <QString>

// The public half of the vendor's Ed25519 release key, as the installed application
// carries it: one base64 line in the bundle's Contents/Resources. A null key means
// the installation trusts unsigned releases, as before signing existed.
class ReleaseKey
{
public:
    static QString fileName() { return QStringLiteral("release-signing-key.pub"); }
    static QString bundleKeyPath(const QString &installPath);

    // The key the installation at installPath trusts: the build setting when one was
    // compiled in, else the key file in the bundle. True with a null key when there is
    // none; false when the key found is malformed (a broken key must not mean "unsigned").
    static bool installed(const QString &installPath, ReleaseKey *key, QString *error);
    // One base64 line of 32 bytes; surrounding white space is ignored.
    static bool fromText(const QByteArray &text, ReleaseKey *key, QString *error);

    bool isNull() const { return m_key.isEmpty(); }
    QByteArray toText() const { return m_key.toBase64(); }

    // A detached signature file's content (one base64 line of 64 bytes) over message.
    bool verify(const QByteArray &message, const QByteArray &signatureText, QString *error) const;
    // The manifest's raw bytes against "<manifestPath>.sig"; on success *bytes holds
    // exactly the bytes that were verified.
    bool verifyManifest(const QString &manifestPath, QByteArray *bytes, QString *error) const;

private:
    QByteArray m_key;
};

#endif
