#ifndef VELTORA_KEYSTATEMENT_H
#define VELTORA_KEYSTATEMENT_H

#include "ReleaseKey.h"

#include <QByteArray>
#include <QList>
#include <QString>

class ReleaseSigner;

// The vendor's hand-over from release key N to key N+1, published beside the manifest
// as "<manifest>.key-<N+1>". Five lines, each ending in "\n":
//
//   veltora release key <N+1>
//   previous <base64 of key N>
//   key <base64 of key N+1>
//   signature-previous <base64 Ed25519 signature by key N>
//   signature-key <base64 Ed25519 signature by key N+1>
//
// Both signatures are over the first three lines exactly as written (their bytes up to
// and including the third "\n"): the old key says who comes next, the new key that its
// holder took over. An installation holding key N walks to a later key one statement at
// a time and never skips a number.
namespace KeyStatement {

// The longest chain walked in one update, and the largest statement file taken.
constexpr int maxSteps = 32;
constexpr qint64 maxSize = 1024;

// "<manifest>.key-<number>" beside the manifest file, and its address (a query stays a query).
QString pathOf(const QString &manifestPath, int number);
QString urlOf(const QString &manifestUrl, int number);

// The statement handing over from `previous` (whose number it takes from previousKey)
// to `next`, which becomes key previousKey.number() + 1.
QByteArray make(const ReleaseSigner &previous, const ReleaseKey &previousKey, const ReleaseSigner &next);

struct Parsed
{
    int number = 0;
    ReleaseKey previous;
    ReleaseKey key; // numbered
    QByteArray signedPart;
    QByteArray signaturePrevious;
    QByteArray signatureKey;
};
// The statement's lines, unverified; false with the reason when they are not as above.
bool parse(const QByteArray &text, Parsed *out, QString *error);

// One step: `text` must be statement held.number() + 1, hand over from `held` and
// carry both signatures. On success *next is the new key with its number.
bool verifyStep(const QByteArray &text, const ReleaseKey &held, ReleaseKey *next, QString *error);

// Whether a manifest signed by key `target` can be reached from `held`: refused when
// target is below held (the installation has moved on) or more than maxSteps ahead.
bool checkReach(const ReleaseKey &held, int target, QString *error);

// The whole walk from `held` to key `target`, statements[i] being statement
// held.number() + 1 + i as fetched. On success *reached is key `target`.
bool walk(const ReleaseKey &held, int target, const QList<QByteArray> &statements, ReleaseKey *reached, QString *error);

} // namespace KeyStatement

#endif
