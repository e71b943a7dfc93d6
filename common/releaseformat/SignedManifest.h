#ifndef VELTORA_SIGNEDMANIFEST_H
#define VELTORA_SIGNEDMANIFEST_H

#include <QByteArray>
#include <QString>

// What a signed release adds to the manifest: the detached signature beside it, a
// SHA-256 digest beside every MD5 ("installerSha256", "fixUpdatePacketSha256",
// "partialPacketSha256", "replacePacketSha256") and the release's own version
// ("releaseVersion") under the platform key.
namespace SignedManifest {

// The largest manifest and signature file taken, while downloading and when read:
// manifests are a few kilobytes, a signature is one line.
constexpr qint64 maxManifestSize = 16 * 1024 * 1024;
constexpr qint64 maxSignatureSize = 1024;

// "<manifest>.sig", beside the manifest file.
QString signaturePathOf(const QString &manifestPath);
// The manifest's address with ".sig" added to its path (a query stays a query).
QString signatureUrlOf(const QString &manifestUrl);

// The rules for a manifest whose signature holds: every digest pair complete and
// well formed, and a release not older than the installed version (no rollback to a
// release with known holes). False with the reason.
bool checkContent(const QByteArray &bytes, const QString &platform, const QString &installedVersion, QString *error);

// Whether a text is a lower-case hexadecimal SHA-256 digest.
bool isSha256(const QString &text);

} // namespace SignedManifest

#endif
