#ifndef VELTORA_INSTALLSTEPS_H
#define VELTORA_INSTALLSTEPS_H

#include <QJsonArray>
#include <QString>
#include <QStringList>

class InstallJournal;
class ReleaseKey;
struct HandOff;

// The steps of an install of staged files into a bundle, shared by the updater's
// hand-off, the setup program and the recovery of an interrupted install at start-up.
namespace InstallSteps {

struct Context
{
    QString installPath;
    QString updatePath; // the staging folder
    QString backupPath;
    QString updateDir;
    QString cachePath;
    QString dataPath;
    QString manifest; // path of the update manifest
    QString version;  // key of this update in the manifest
};

// The context of the install a hand-off describes, with the product's folders.
Context contextFor(const HandOff &handOff);

// An application bundle: its Contents/MacOS is a real folder.
bool isBundle(const QString &installPath);
// The staging folder exists and holds at least one entry the install would copy.
bool hasStagedFiles(const QString &updatePath);
// Whether the staging folder is one the updater made: a real folder right inside the
// update data folder, reached through no link.
bool isStagingFolder(const Context &context, QString *error);
// An install with nothing to copy is still one when the manifest deletes files or edits settings.
bool hasListedChanges(const Context &context);

// The delete and add lists of the update; false when the manifest cannot be read as a
// JSON object (the lists are then left as they are).
bool readLists(const QString &manifest, const QString &version, QJsonArray *deleteFiles, QJsonArray *addFiles);
// The manifest's edits of settings.ini in dataPath.
void applySettingsEdits(const QString &manifest, const QString &dataPath);

// The release key this install answers to: the backup's copy when the install replaces
// or deletes the key file, else the bundle's. False when a key is there but unusable
// or cannot be looked for: only a missing file means "no key".
bool trustedKey(const Context &context, ReleaseKey *key, QString *error);
// With a key: the manifest's signature and the content rules of a signed release
// (digests, no rollback). Without one every manifest is taken, as before signing.
bool manifestTrusted(const ReleaseKey &key, const Context &context, QString *error);

// At the hand-off, before anything changes: the installed counterpart of everything
// the install will overwrite or remove (the patched files, every differing staged entry,
// a folder a file replaces, the delete list's files) goes into the backup folder.
// False with the entry that could not be backed up.
bool backUp(const Context &context, const QStringList &patchedFiles, QString *failedEntry);

// Records the install in the journal before the bundle's first change, with what it adds.
bool begin(const Context &context, const HandOff &handOff, InstallJournal *journal, QString *error);
// Overlays a tree onto another, first removing what changes kind (a folder that becomes a
// file or link, a file that becomes a folder, a link that becomes a file), so the result
// holds the source's kinds. A link where the source has a folder is refused, like any link
// on the way of the copy.
bool overlay(const QString &fromDir, const QString &toDir);
// Once the staged files are in: the delete list, the settings edits, the clean-up, the
// executable bits; the journal goes once all of it is on disk. keepFile survives the
// removal of the update data (the log of a run that recovers).
void complete(const Context &context, const QJsonArray &deleteFiles, InstallJournal *journal,
              const QString &keepFile = QString());
// The clean-up after the files are in place: leftovers, update data, cache, executable bits.
void cleanUp(const Context &context, const QString &keepFile = QString());
// Puts the backup back and removes what the install added; false when the backup
// could not be copied back (the journal then stays for another try).
bool restore(const Context &context, const QStringList &added, const QJsonArray &addFiles);

// "chmod a+x" over every entry of Contents/MacOS, without a shell and without
// following links.
void makeExecutable(const QString &installPath);

} // namespace InstallSteps

#endif
