#ifndef VELTORA_RELEASESIGNING_H
#define VELTORA_RELEASESIGNING_H

#include "ReleaseKey.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <cstdio>

class ReleaseSigner;

// The release tool's side of signed releases that age out and keys that change: the
// dates, sequence, key number and rollout share stamped into a manifest, the re-signing
// of a published manifest without rebuilding its packets (renewal), the hand-over to a
// new key, and the report on a published manifest.
namespace ReleaseSigning {

// What the vendor chose on the command line.
struct Choice
{
    int validDays = 14;
    qint64 sequence = 0; // 0: one above the manifest's previous sequence
    bool hasShare = false;
    double share = 100;
};

// The number of the key `signer` holds, from the key statements beside the manifest:
// 1 without statements, else the newest key of the chain (which must verify link by
// link). False when the signer's key was handed over already or is not in the chain.
bool keyNumberOf(const ReleaseSigner &signer, const QString &manifestPath, int *number, QString *error);

// The sequence of the manifest now at manifestPath, 0 when there is none or it has none.
qint64 previousSequence(const QString &manifestPath);

// Stamps signedAt = now, validUntil = now + validDays, the sequence (above `previous`),
// the key number and, when chosen, rolloutShare into the platform section.
bool stamp(QJsonObject *mac, const Choice &choice, qint64 previous, int keyNumber, const QDateTime &now, QString *error);

// Writes the manifest's bytes and, with a signer, their signature beside them.
bool writeSigned(const QString &manifestPath, const QByteArray &bytes, const ReleaseSigner *signer, QString *error);

// Re-signs the manifest at manifestPath with new dates and a higher sequence (and the
// chosen rollout share); its packets stay as they are. A signed manifest must verify
// with the key it names before it is re-signed; an unsigned one only takes a new share.
// Warnings (little time left before this renewal) go to `warnings`.
bool renew(const QString &manifestPath, const QString &signingKey, const Choice &choice, std::FILE *warnings, QString *error);

// Makes statement N+1 handing over from the key in currentKeyFile (key N) to the key in
// newKeyDir, writes it beside the manifest and gives newKeyDir's public key file its number.
bool handOver(const QString &manifestPath, const QString &currentKeyFile, const QString &newKeyDir, QString *statementPath,
              QString *error);

// The published manifest's release, dates, time left, key and share for people, to `out`;
// warnings to `warnings`. False (with the reason) when it cannot be read or has expired.
bool inspect(const QString &manifestPath, std::FILE *out, std::FILE *warnings, QString *error);

} // namespace ReleaseSigning

#endif
