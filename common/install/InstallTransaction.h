#ifndef VELTORA_INSTALLTRANSACTION_H
#define VELTORA_INSTALLTRANSACTION_H

#include "HandOff.h"
#include "InstallJournal.h"
#include "InstallManifest.h"
#include "InstallSteps.h"
#include "ReleaseKey.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// One install of staged files into a bundle, all or nothing, from the updater's hand-off
// through the setup program to the recovery of a cut install at the next start. Made
// once from the hand-off (or from the record a cut install left), it owns the install's
// paths, the release key the installation had before the install, the manifest's
// verified bytes parsed once, the record and the steps. Every program goes through it.
class InstallTransaction
{
public:
    explicit InstallTransaction(const HandOff &handOff = HandOff());

    // Whether a record of an install under way lies in the bundle: the last one was cut.
    static bool interrupted(const QString &installPath);

    const HandOff &handOff() const { return m_handOff; }
    QString installPath() const { return m_paths.installPath; }
    QString stagingPath() const { return m_paths.stagingPath; }
    QString backupPath() const { return m_paths.backupPath; }
    QString updateDir() const { return m_paths.updateDir; }
    QString cachePath() const { return m_paths.cachePath; }
    QString dataPath() const { return m_paths.dataPath; }
    QString manifestPath() const { return m_paths.manifestPath; }

    // Takes the record of a cut install into this transaction's bundle: its hand-off
    // (the install path stays where the record was found), what it adds and its phase.
    bool readJournal(QString *error);
    InstallJournal::Phase phase() const { return m_journal.phase; }

    // The bundle holds a real Contents/MacOS.
    bool isBundle() const;
    // The staging folder is one the updater made: a real folder directly inside the
    // update data folder, reached through no link.
    bool isStagingFolder(QString *error) const;
    // The backup folder is the bundle's own: missing, or a real folder reached through no link.
    bool isBackupFolder(QString *error) const;
    // Files to copy, or a delete list or settings edits in the manifest.
    bool hasWork() const;

    // Reads the release key (the backup's copy when the install replaces the key file,
    // else the bundle's) and the manifest's bytes, once; with a key they must pass the
    // signature and the content rules. The lists and edits come from exactly those
    // bytes. False with the reason; the manifest is then taken as empty.
    bool verifyManifest(QString *error);
    // Bytes the updater has verified (or read, without a key) already.
    void useManifest(const QByteArray &bytes);
    const InstallManifest &manifest() const { return m_manifest; }
    const ReleaseKey &releaseKey() const { return m_key; }

    // The manifest's edits of settings.ini in the product's data folder.
    void applySettingsEdits(const InstallManifest &manifest) const;

    // The hand-off's backup folder, emptied and made again; false when it is not the
    // bundle's own folder afterwards.
    bool prepareBackup();
    // Before anything changes: the installed counterpart of everything the install will
    // overwrite or remove goes into the backup folder. False with the entry that failed.
    bool backUp(const QStringList &patchedFiles, QString *failedEntry);
    // Records the install before the bundle's first change, with what it adds and writes.
    bool begin(QString *error);
    // The staged files over the bundle; false when the copy failed (it may be repeated).
    bool overlay();
    // Once the staged files are in: the delete list, the settings edits, the clean-up,
    // the executable bits; the record goes once all of it is on disk. keepFile survives
    // the removal of the update data (the log of a run that recovers).
    void complete(const QString &keepFile = QString());
    // The clean-up of an install whose files were all in place when it was cut.
    void finishCleanUp(const QString &keepFile);
    // Puts the backup back and removes what the install added; false when the backup
    // could not be put back (the record then stays for another try).
    bool restore();

private:
    bool readKey(QString *error);

    HandOff m_handOff;
    InstallSteps::Paths m_paths;
    InstallManifest m_manifest;
    ReleaseKey m_key;
    QString m_keyError;
    bool m_keyRead = false;
    InstallJournal m_journal;
};

#endif
