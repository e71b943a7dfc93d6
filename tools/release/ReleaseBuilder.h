#ifndef VELTORA_RELEASEBUILDER_H
#define VELTORA_RELEASEBUILDER_H

#include "ReleaseOptions.h"

#include <QJsonObject>
#include <QString>

#include <functional>
#include <memory>

class BundleTree;
class ReleaseProgress;
class SevenZipPacketWriter;

// Writes a release: into the release's folder (the output folder's subfolder named
// by the release version, published as BASE/VERSION/) per previous version a partial
// packet (patches where they pay, whole files otherwise) and a replace packet (whole
// files), the fix-update packet and the installer; the manifest, which stays at one
// address, into the output folder itself. Each packet file
// is named NAME.pkt and holds one top-level folder NAME, which is where the
// updater unpacks it (the packet's path less its last four characters). With a
// signing key the manifest also carries SHA-256 digests and the release version,
// and its exact bytes are signed into "<manifest>.sig".
class ReleaseBuilder
{
public:
    // Progress and notes go to `progress` (none when it is null).
    explicit ReleaseBuilder(const ReleaseOptions &options, ReleaseProgress *progress = nullptr);
    ~ReleaseBuilder();

    static QString partialName(const QString &version) { return QStringLiteral("partial-%1.pkt").arg(version); }
    static QString replaceName(const QString &version) { return QStringLiteral("replace-%1.pkt").arg(version); }
    static QString fixName() { return QStringLiteral("fixupdate.pkt"); }

    bool build(QString *error);
    QString manifestPath() const;
    // Where the release's packets and installer are written, and their addresses' common start.
    static QString releaseFolder(const ReleaseOptions &options);
    static QString releaseUrl(const ReleaseOptions &options);

private:
    bool writeVersion(const QString &version, const BundleTree &oldTree, const BundleTree &newTree, QJsonObject *entry,
                      QString *error);
    // Writes OUT/packetName holding its top folder and what `fill` adds; `total` bytes for the progress.
    bool pack(const QString &packetName, qint64 total,
              const std::function<bool(SevenZipPacketWriter &, QString *)> &fill, QString *error);
    bool writeWholeBundle(const BundleTree &tree, const QString &packetName, QString *error);
    QString urlOf(const QString &fileName) const;
    bool signing() const { return !m_options.signingKey.isEmpty(); }
    QByteArray sha256Of(const QString &fileName) const;
    void addSignedKeys(QJsonObject *mac) const;

    ReleaseOptions m_options;
    std::unique_ptr<ReleaseProgress> m_quiet;
    ReleaseProgress *m_progress;
};

#endif
