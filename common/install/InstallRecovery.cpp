#include "InstallRecovery.h"

#include "Attempts.h"
#include "FileUtils.h"
#include "InstallTransaction.h"
#include "Logging.h"

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
QString refusalToFinish(InstallTransaction *transaction)
{
    QString error;
    if (!transaction->isStagingFolder(&error))
        return QStringLiteral("its staging folder is refused: ") + error;
    if (!transaction->verifyManifest(&error))
        return QStringLiteral("Update refused: ") + error;
    if (!transaction->hasWork())
        return QStringLiteral("the staging folder %1 is gone").arg(transaction->stagingPath());
    return QString();
}

} // namespace

Outcome run(const QString &installPath)
{
    if (!InstallTransaction::interrupted(installPath))
        return NothingToDo;

    InstallTransaction transaction(HandOff{installPath, {}, {}, {}, {}});
    QString error;
    const bool readable = transaction.readJournal(&error);
    const QString refusal = readable && transaction.phase() == InstallJournal::Copying ? refusalToFinish(&transaction)
                                                                                       : QString();
    if (!readable) {
        qDebug() << "The last install into" << installPath << "was interrupted and its record is unreadable ("
                 << error << "); restoring the previous version from the backup";
    } else if (transaction.phase() == InstallJournal::Installed) {
        qDebug() << "The last install into" << installPath
                 << "was interrupted after its files were in place; finishing its clean-up";
        transaction.finishCleanUp(currentLog());
        qDebug() << "The interrupted install is finished: the new version is in place";
        return Finished;
    } else if (!refusal.isEmpty()) {
        qDebug().noquote() << QStringLiteral("The last install into %1 was interrupted and cannot be finished (%2); "
                                             "restoring the previous version from the backup")
                                  .arg(installPath, refusal);
    } else {
        qDebug() << "The last install into" << installPath << "was interrupted; finishing it from"
                 << transaction.stagingPath();
        FileUtils::cleanSuffixFile(installPath, QStringLiteral("bak"));
        // Files already installed are identical and skipped.
        for (int attempt = 0; attempt < Attempts::limit; ++attempt) {
            if (!transaction.overlay())
                continue;
            transaction.complete(currentLog());
            qDebug() << "The interrupted install is finished: the new version is in place";
            return Finished;
        }
        qDebug() << "The interrupted install could not be finished; restoring the previous version from the backup";
    }

    // An unverified manifest names nothing: its add list was never taken.
    if (!transaction.restore()) {
        qDebug() << "The previous version could not be restored from" << transaction.backupPath()
                 << "; the backup and the install record are kept, and the next start tries again";
        return Failed;
    }
    qDebug() << "The previous version is restored";
    return Restored;
}

} // namespace InstallRecovery
