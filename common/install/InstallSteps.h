#ifndef VELTORA_INSTALLSTEPS_H
#define VELTORA_INSTALLSTEPS_H

#include <QJsonArray>
#include <QString>
#include <QStringList>

struct InstallManifest;

// The file-level steps of an install, on the paths of one InstallTransaction. Only the
// transaction calls them; the programs go through it.
namespace InstallSteps {

struct Paths
{
    QString installPath;
    QString stagingPath;
    QString backupPath;
    QString updateDir;
    QString cachePath;
    QString dataPath;
    QString manifestPath;
};

// An application bundle: its Contents/MacOS is a real folder.
bool isBundle(const QString &installPath);
// The folder exists and holds at least one entry the install would copy.
bool hasStagedFiles(const QString &stagingPath);
// Whether `path` is a real folder directly inside `parent`, reached through no link.
bool isFolderDirectlyIn(const QString &parent, const QString &path, QString *error);

// The installed counterpart of everything the install will overwrite or remove goes into
// the backup folder. False with the entry that could not be backed up.
bool backUp(const Paths &paths, const QStringList &patchedFiles, const QJsonArray &deleteFiles, QString *failedEntry);

// What the install adds (a folder ends in "/": everything below it is new too) and the
// staged files whose content it writes.
void plan(const Paths &paths, QStringList *added, QStringList *written);

// Overlays a tree onto another, first removing what changes kind, so the result holds the
// source's kinds. A file whose content is already in place gets the source's mode only
// when it is in `written` (a copy cut between content and mode); a null `written` means
// every file. A link where the source has a folder is refused unless restoring.
bool overlay(const QString &fromDir, const QString &toDir, const QStringList *written, bool restoring = false);

// The delete list's files go, each only once the backup holds it.
void removeDeleteList(const Paths &paths, const QJsonArray &deleteFiles);
// The manifest's edits of settings.ini in dataPath.
void applySettingsEdits(const InstallManifest &manifest, const QString &dataPath);
// The clean-up after the files are in place: leftovers, update data (but keepFile),
// cache, executable bits.
void cleanUp(const Paths &paths, const QString &keepFile);
// Puts the backup back and removes what the install added (only what it can have
// created: never what the backup or the old tree holds); false when the backup could
// not be copied back.
bool restore(const Paths &paths, const QStringList &added, const QStringList *written, const QJsonArray &addFiles);

// "chmod a+x" over every entry of Contents/MacOS, without a shell and without
// following links.
void makeExecutable(const QString &installPath);

} // namespace InstallSteps

#endif
