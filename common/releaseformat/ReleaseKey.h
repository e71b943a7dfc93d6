#ifndef VELTORA_RELEASEKEY_H
#define VELTORA_RELEASEKEY_H

#include <QByteArray>
#include <QString>

// The public half of the vendor's Ed25519 release key, as the installed application
// carries it: one base64 line in the bundle's Contents/Resources. A null key means
// the installation trusts unsigned releases, as before signing existed.
// Keys are numbered from 1 as the vendor hands over from one to the next (KeyStatement);
// a key line may end in its number ("<base64> 3"), without one it is key 1.
class ReleaseKey
{
public:
    static QString fileName() { return QStringLiteral("release-signing-key.pub"); }
    static QString bundleKeyPath(const QString &installPath);

    // The key the installation at installPath trusts: the build setting when one was
    // compiled in, else the key file in the bundle. True with a null key when there is
    // none; false when the key found is malformed (a broken key must not mean "unsigned").
    static bool installed(const QString &installPath, ReleaseKey *key, QString *error);
    // One base64 line of 32 bytes, optionally followed by a blank and the key's number;
    // surrounding white space is ignored.
    static bool fromText(const QByteArray &text, ReleaseKey *key, QString *error);

    bool isNull() const { return m_key.isEmpty(); }
    // The base64 of the 32 bytes alone.
    QByteArray toText() const { return m_key.toBase64(); }
    // As a key file holds it: with the number when it is not 1.
    QByteArray toLine() const;
    int number() const { return m_number; }
    void setNumber(int number) { m_number = number; }
    bool operator==(const ReleaseKey &other) const { return m_key == other.m_key && m_number == other.m_number; }
    bool sameKey(const ReleaseKey &other) const { return m_key == other.m_key; }

    // A detached signature file's content (one base64 line of 64 bytes) over message.
    bool verify(const QByteArray &message, const QByteArray &signatureText, QString *error) const;
    // The manifest's raw bytes against "<manifestPath>.sig"; on success *bytes holds
    // exactly the bytes that were verified.
    bool verifyManifest(const QString &manifestPath, QByteArray *bytes, QString *error) const;

    // The highest key number taken: a chain is walked one statement per number.
    static constexpr int maxNumber = 1000000;
    // A key number as written in key files and statements: decimal digits, 1 to maxNumber.
    static bool parseKeyNumber(const QByteArray &text, int *number);

private:
    QByteArray m_key;
    int m_number = 1;
};

#endif
