#ifndef VELTORA_RELEASETRUST_H
#define VELTORA_RELEASETRUST_H

#include "ReleaseFreshness.h"
#include "ReleaseKey.h"

#include <QDateTime>
#include <QString>

// What an installation remembers of the signed releases it accepted, so that neither a
// replayed old manifest nor a clock set back reopens what it has moved past: the highest
// sequence, the newest signing time and the newest release key it reached through the
// vendor's key statements. Kept as "release-trust.json" in the product's data folder,
// which no update clean-up removes:
//
//   {"sequence": 7, "signedAt": "2026-12-01T09:00:00Z", "keyNumber": 3, "key": "<base64>"}
//
// ("key" and "keyNumber" only once a hand-over was walked).
class ReleaseTrust
{
public:
    static QString fileName() { return QStringLiteral("release-trust.json"); }
    // The data folder's record (DataPaths::dataDirectory()).
    static QString defaultPath();

    // A missing file is an installation that has accepted nothing yet. False with the
    // reason when the file is there but unreadable; the record then stays empty.
    bool load(const QString &path, QString *error);
    // Written whole and atomically.
    bool save(const QString &path, QString *error) const;

    // The key to verify with: the bundle's, or the remembered one when the installation
    // has walked past it. A null bundle key stays null: no key, no signature.
    ReleaseKey currentKey(const ReleaseKey &bundleKey) const;

    // The time a manifest is judged by: the later of the clock and the newest signing
    // time accepted, so a clock set back does not reopen expired releases.
    QDateTime judgingTime(const QDateTime &clock) const;
    // Whether a verified manifest may be taken now: not expired by judgingTime(clock) and
    // its sequence not below the highest accepted. False with a reason that names the
    // manifest's dates, the clock and what is wrong. *note (may be null) tells of a clock
    // behind the signing time, which is not a refusal.
    bool check(const ReleaseFreshness &release, const QDateTime &clock, QString *error, QString *note = nullptr) const;
    // Remembers a manifest that passed check(), and the key that verified it.
    void accept(const ReleaseFreshness &release, const ReleaseKey &key);

    // Everything an installation holding `key` asks of the signed manifest at
    // manifestPath before acting on it: signed by that key (a manifest of a later key
    // needs the hand-overs walked first, KeyStatement), its signature, its content
    // (SignedManifest::checkContent) and check() at `clock`. On success *bytes holds the
    // verified bytes and *release their fields.
    bool verifyManifest(const ReleaseKey &key, const QString &manifestPath, const QString &platform,
                        const QString &installedVersion, const QDateTime &clock, QByteArray *bytes, ReleaseFreshness *release,
                        QString *error, QString *note = nullptr) const;

    qint64 sequence() const { return m_sequence; }
    QDateTime newestSignedAt() const { return m_signedAt; }
    ReleaseKey rememberedKey() const { return m_key; }

private:
    qint64 m_sequence = 0;
    QDateTime m_signedAt;
    ReleaseKey m_key; // null until a hand-over was walked
};

#endif
