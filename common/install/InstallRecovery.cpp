#include "InstallRecovery.h"

#include "Attempts.h"
#include "FileUtils.h"
#include "InstallJournal.h"
#include "InstallSteps.h"

#include <QDebug>

namespace InstallRecovery {

Outcome run(const QString &installPath)
{
    if (installPath.isEmpty() || !InstallJournal::exists(installPath))
        return NothingToDo;

    InstallJournal journal;
    QString error;
    const bool readable = journal.read(installPath, &error);
    const InstallSteps::Context context = InstallSteps::contextFor(installPath, journal.updatePath,
                                                                   journal.configFileName, journal.version);
    if (!readable) {
        qDebug() << "The last install into" << installPath << "was interrupted and its record is unreadable ("
                 << error << "); restoring the previous version from the backup";
    } else if (journal.phase == InstallJournal::Installed) {
        qDebug() << "The last install into" << installPath
                 << "was interrupted after its files were in place; finishing its clean-up";
        InstallSteps::cleanUp(context);
        if (!FileUtils::syncFileSystem(installPath, &error) || !InstallJournal::remove(installPath, &error))
            qDebug() << "Could not remove the install record:" << error;
        qDebug() << "The interrupted install is finished: the new version is in place";
        return Finished;
    } else {
        qDebug() << "The last install into" << installPath << "was interrupted; finishing it from"
                 << journal.updatePath;
        FileUtils::cleanSuffixFile(installPath, QStringLiteral("bak"));
        if (InstallSteps::hasStagedFiles(journal.updatePath)) {
            // Files already installed are identical and skipped.
            for (int attempt = 0; attempt < Attempts::limit; ++attempt) {
                if (!copyDirectoryFiles(journal.updatePath, installPath))
                    continue;
                QJsonArray deleteFiles;
                QJsonArray addFiles;
                InstallSteps::readLists(context.manifest, context.version, &deleteFiles, &addFiles);
                InstallSteps::complete(context, deleteFiles, &journal);
                qDebug() << "The interrupted install is finished: the new version is in place";
                return Finished;
            }
            qDebug() << "The interrupted install could not be finished; restoring the previous version from the backup";
        } else {
            qDebug() << "The staging folder" << journal.updatePath
                     << "is gone; restoring the previous version from the backup";
        }
    }

    QJsonArray deleteFiles;
    QJsonArray addFiles;
    if (readable)
        InstallSteps::readLists(context.manifest, context.version, &deleteFiles, &addFiles);
    if (!InstallSteps::restore(context, journal.added, addFiles)) {
        qDebug() << "The previous version could not be restored; the next start tries again";
        return Failed;
    }
    qDebug() << "The previous version is restored";
    return Restored;
}

} // namespace InstallRecovery
