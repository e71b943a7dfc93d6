#ifndef VELTORA_RELEASEOPTIONS_H
#define VELTORA_RELEASEOPTIONS_H

#include "ReleaseSigning.h"

#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

class QCommandLineParser;

// The release tool's command line, checked: every folder and file exists, versions
// are distinct and usable in file names, the base address is plain "http".
struct ReleaseOptions
{
    QString newBundle;
    QList<QPair<QString, QString>> oldBundles; // version, folder
    QString baseUrl;                           // without a trailing slash
    QString outDir;
    QString installer;
    QString fixBundle;
    QStringList fixVersions;
    QJsonObject settings; // {"delete": [...], "add": {...}}
    QString manifestName = QStringLiteral("update.json");
    // The release's own version (from --release-version or the new bundle's
    // Contents/Resources/version.txt): it names the release's folder below the base
    // address, so that a cache never serves one release's packet for another's.
    QString releaseVersion;
    // Signed releases: the secret key file, and the validity, sequence and rollout share stamped in.
    QString signingKey;
    ReleaseSigning::Choice signingChoice;
    // Patch creation: the memory the files being diffed at once may cost (--patch-memory),
    // and the file size from which files go whole instead (the suffix array's range).
    qint64 patchMemory = qint64(2048) << 20;
    qint64 patchSizeLimit = qint64(INT32_MAX) - 1;
    bool quiet = false;

    static void describe(QCommandLineParser &parser);
    // False with a one-line reason on any bad input.
    static bool fromParser(const QCommandLineParser &parser, ReleaseOptions *out, QString *error);
    // --valid-days, --sequence and --rollout-share, for a build and for a renewal.
    static bool readChoice(const QCommandLineParser &parser, ReleaseSigning::Choice *choice, QString *error);

private:
    static bool readReleaseVersion(const QCommandLineParser &parser, ReleaseOptions *out, QString *error);
    static bool readSigning(const QCommandLineParser &parser, ReleaseOptions *out, QString *error);
};

#endif
