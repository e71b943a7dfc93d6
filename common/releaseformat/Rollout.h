#ifndef VELTORA_ROLLOUT_H
#define VELTORA_ROLLOUT_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// A release the vendor offers to a share of installations first. Each installation
// draws one random identifier and keeps it; its place in a release's rollout is a
// number in [0, 1) from SHA-256 of the identifier and the release's version, so the
// same machine is early in one release and late in another, and the release is
// offered when the place lies below the manifest's "rolloutShare" (0-100, absent:
// 100). Raising the share keeps every installation that was in; 0 halts the release.
namespace Rollout {

// Kept in the product's data folder, which no update clean-up removes.
constexpr const char *identifierFileName = "installation-id";

// The share as the manifest gives it under the platform key.
struct Share
{
    // What the decision uses, 0 to 100.
    double percent = 100;
    // The value as given, for the log ("20", "12.5"; "100" when absent).
    QString text = QStringLiteral("100");
    // False when the manifest holds something other than a number from 0 to 100: the
    // release is then held back from everybody, since a signed value the vendor got
    // wrong must not silently mean "everybody".
    bool wellFormed = true;
};

Share shareOf(const QJsonObject &platformSection);

// 64 lower-case hexadecimal digits (32 random bytes).
bool isIdentifier(const QByteArray &text);

// The installation's identifier, read from `dataDirectory`/installation-id or, when the
// file is missing or damaged, drawn from the system's random source and written there
// atomically. Two programs drawing at once end up with the same one. False (with the
// reason) when no identifier can be kept: a fresh one at every run would void the rollout.
bool installationIdentifier(const QString &dataDirectory, QByteArray *identifier, QString *error);

// The installation's place in the rollout of `releaseVersion`, in [0, 1): the first
// 53 bits of SHA-256(identifier "\n" releaseVersion) as a fraction.
double placeOf(const QByteArray &identifier, const QString &releaseVersion);

// place < share / 100, with 0 meaning nobody and 100 everybody.
bool isOffered(double place, const Share &share);

struct Decision
{
    QString release;  // the manifest's "releaseVersion", as given (may be empty without a key)
    Share share;
    bool offered = true;
    QString reason;   // one sentence: why it is offered or held back
};

// What this installation does with the release in the manifest `bytes`. An empty
// identifier (none could be kept, `identifierError` says why) is offered only what is
// offered to everybody.
Decision decide(const QByteArray &bytes, const QString &platform, const QByteArray &identifier,
                const QString &identifierError = QString());

// "targetRelease: <releaseVersion>, rolloutShare: <share>", the line the log service reads.
QString targetReleaseLine(const Decision &decision);

// "Update held back: release <R>, rollout share <S>: <reason>".
QString heldBackLine(const Decision &decision);

} // namespace Rollout

#endif
