#ifndef VELTORA_RELEASEVERIFIER_H
#define VELTORA_RELEASEVERIFIER_H

#include "ReleaseOptions.h"

#include <QString>

class ReleaseProgress;

// Reads a written release back the way the updater will: the manifest with its
// reader, every packet with its extraction, every patch with its patcher against
// the previous version's file; a signed release also by its signature and SHA-256 digests.
class ReleaseVerifier
{
public:
    ReleaseVerifier(const ReleaseOptions &options, const QString &manifestPath, ReleaseProgress *progress = nullptr)
        : m_options(options), m_manifestPath(manifestPath), m_progress(progress)
    {
    }

    bool verify(QString *error);

private:
    bool unpack(const QString &packet, const QString &target, QString *error);
    bool verifySignature(QString *error);

    ReleaseOptions m_options;
    QString m_manifestPath;
    ReleaseProgress *m_progress;
    int m_unpacked = 0;
};

#endif
