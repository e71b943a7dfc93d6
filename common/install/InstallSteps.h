#ifndef VELTORA_INSTALLSTEPS_H
#define VELTORA_INSTALLSTEPS_H

#include <QJsonArray>
#include <QString>
#include <QStringList>

class InstallJournal;

// The steps of an install of staged files into a bundle, shared by the setup program
// and by the recovery of an interrupted install at start-up.
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

// The context of an install into installPath from updatePath, with the product's folders.
Context contextFor(const QString &installPath, const QString &updatePath, const QString &configFileName,
                   const QString &version);

// An application bundle: its Contents/MacOS is a real folder.
bool isBundle(const QString &installPath);
// The staging folder exists and holds at least one entry the install would copy.
bool hasStagedFiles(const QString &updatePath);

// The delete and add lists of the update; false when the manifest cannot be read as a
// JSON object (the lists are then left as they are).
bool readLists(const QString &manifest, const QString &version, QJsonArray *deleteFiles, QJsonArray *addFiles);
// The manifest's edits of settings.ini in dataPath.
void applySettingsEdits(const QString &manifest, const QString &dataPath);

// Records the install in the journal before the bundle's first change: what it will add,
// the backup of the delete list's files (the rest was backed up by the hand-off).
bool begin(const Context &context, const QString &logFileName, const QJsonArray &deleteFiles,
           InstallJournal *journal, QString *error);
// Once the staged files are in: the delete list, the settings edits, the clean-up, the
// executable bits; the journal goes once all of it is on disk.
void complete(const Context &context, const QJsonArray &deleteFiles, InstallJournal *journal);
// The clean-up after the files are in place: leftovers, update data, cache, executable bits.
void cleanUp(const Context &context);
// Puts the backup back and removes what the install added; false when the backup
// could not be copied back (the journal then stays for another try).
bool restore(const Context &context, const QStringList &added, const QJsonArray &addFiles);

// "chmod a+x" over every entry of Contents/MacOS, without a shell and without
// following links.
void makeExecutable(const QString &installPath);

} // namespace InstallSteps

#endif
