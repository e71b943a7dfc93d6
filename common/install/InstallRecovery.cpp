#include "InstallRecovery.h"

#include "Attempts.h"
#include "FileUtils.h"
#include "InstallJournal.h"
#include "InstallSteps.h"
#include "Logging.h"
#include "ReleaseKey.h"

#include <QDebug>
#include <QDir>

namespace InstallRecovery {

namespace {

// This run's log: the clean-up of a finished install must not take the lines that say so.
QString currentLog()
{
    return logFileName.isEmpty() || updateAppdataPath.isEmpty() ? QString() : QDir(updateAppdataPath).filePath(logFileName);
}

// Why the interrupted install cannot be finished from its staging folder; empty when it can.
QString refusalToFinish(const InstallJournal &journal, const InstallSteps::Context &context)
{
    QString error;
    if (!InstallSteps::isStagingFolder(context, &error))
        return QStringLiteral("its staging folder is refused: ") + error;
    if (!InstallSteps::hasStagedFiles(context.updatePath) && !InstallSteps::hasListedChanges(context))
        return QStringLiteral("the staging folder %1 is gone").arg(journal.handOff.stagingPath);
    ReleaseKey key;
    if (!InstallSteps::trustedKey(context, &key, &error) || !InstallSteps::manifestTrusted(key, context, &error))
        return QStringLiteral("Update refused: ") + error;
    return QString();
}

} // namespace

Outcome run(const QString &installPath)
{
    if (installPath.isEmpty() || !InstallJournal::exists(installPath))
        return NothingToDo;

    InstallJournal journal;
    QString error;
    const bool readable = journal.read(installPath, &error);
    journal.handOff.installPath = installPath;
    const InstallSteps::Context context = InstallSteps::contextFor(journal.handOff);
    const QString refusal = readable && journal.phase == InstallJournal::Copying ? refusalToFinish(journal, context)
                                                                                 : QString();
    if (!readable) {
        qDebug() << "The last install into" << installPath << "was interrupted and its record is unreadable ("
                 << error << "); restoring the previous version from the backup";
    } else if (journal.phase == InstallJournal::Installed) {
        qDebug() << "The last install into" << installPath
                 << "was interrupted after its files were in place; finishing its clean-up";
        InstallSteps::cleanUp(context, currentLog());
        if (!FileUtils::syncFileSystem(installPath, &error) || !InstallJournal::remove(installPath, &error))
            qDebug() << "Could not remove the install record:" << error;
        qDebug() << "The interrupted install is finished: the new version is in place";
        return Finished;
    } else if (!refusal.isEmpty()) {
        qDebug().noquote() << QStringLiteral("The last install into %1 was interrupted and cannot be finished (%2); "
                                             "restoring the previous version from the backup")
                                  .arg(installPath, refusal);
    } else {
        qDebug() << "The last install into" << installPath << "was interrupted; finishing it from"
                 << context.updatePath;
        FileUtils::cleanSuffixFile(installPath, QStringLiteral("bak"));
        // Files already installed are identical and skipped.
        for (int attempt = 0; attempt < Attempts::limit; ++attempt) {
            if (!InstallSteps::overlay(context.updatePath, installPath))
                continue;
            QJsonArray deleteFiles;
            QJsonArray addFiles;
            InstallSteps::readLists(context.manifest, context.version, &deleteFiles, &addFiles);
            InstallSteps::complete(context, deleteFiles, &journal, currentLog());
            qDebug() << "The interrupted install is finished: the new version is in place";
            return Finished;
        }
        qDebug() << "The interrupted install could not be finished; restoring the previous version from the backup";
    }

    // The add list only ever narrows what goes; an unverified manifest names nothing.
    QJsonArray deleteFiles;
    QJsonArray addFiles;
    if (readable && refusal.isEmpty())
        InstallSteps::readLists(context.manifest, context.version, &deleteFiles, &addFiles);
    if (!InstallSteps::restore(context, journal.added, addFiles)) {
        qDebug() << "The previous version could not be restored from" << context.backupPath
                 << "; the backup and the install record are kept, and the next start tries again";
        return Failed;
    }
    qDebug() << "The previous version is restored";
    return Restored;
}

} // namespace InstallRecovery
