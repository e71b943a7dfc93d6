#include "InstallSteps.h"

#include "DataPaths.h"
#include "FileUtils.h"
#include "InstallJournal.h"
#include "SafePath.h"
#include "UpdateManifest.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QMap>
#include <QSettings>

#include <sys/stat.h>

#include <algorithm>

namespace InstallSteps {

namespace {

QString join(const QString &base, const QString &relative)
{
    return base + QLatin1Char('/') + relative;
}

} // namespace

Context contextFor(const QString &installPath, const QString &updatePath, const QString &configFileName,
                   const QString &version)
{
    Context context;
    context.installPath = installPath;
    context.updatePath = updatePath;
    context.backupPath = QStringLiteral("%1/Contents/backup").arg(installPath);
    context.updateDir = DataPaths::updateDirectory();
    context.cachePath = DataPaths::cacheDirectory();
    context.dataPath = DataPaths::dataDirectory();
    context.manifest = join(context.updateDir, configFileName);
    context.version = version;
    return context;
}

bool isBundle(const QString &installPath)
{
    return !installPath.isEmpty() && FileUtils::isRealFolder(installPath + QStringLiteral("/Contents/MacOS"));
}

bool hasStagedFiles(const QString &updatePath)
{
    return QFileInfo(updatePath).isDir() && !FileUtils::overlayEntries(updatePath).isEmpty();
}

bool readLists(const QString &manifest, const QString &version, QJsonArray *deleteFiles, QJsonArray *addFiles)
{
    QByteArray bytes;
    if (!UpdateManifest::readFile(manifest, &bytes)) {
        qDebug() << "Get add and del files,Open update config failed";
        return false;
    }
    QJsonObject platform;
    if (!UpdateManifest::platformSection(bytes, QStringLiteral("mac"), &platform))
        return false;
    const QJsonObject modify = platform.value(QStringLiteral("partialPacket")).toObject()
                                   .value(version).toObject()
                                   .value(QStringLiteral("modify")).toObject();
    *deleteFiles = modify.value(QStringLiteral("delete")).toArray();
    *addFiles = modify.value(QStringLiteral("add")).toArray();
    return true;
}

void applySettingsEdits(const QString &manifest, const QString &dataPath)
{
    QByteArray bytes;
    if (!UpdateManifest::readFile(manifest, &bytes)) {
        qDebug() << manifest;
        qDebug() << "Get add and del ini key,Open update config failed";
        return;
    }
    // A text that is not a JSON object edits nothing.
    QJsonObject platform;
    UpdateManifest::platformSection(bytes, QStringLiteral("mac"), &platform);
    const QJsonObject section = platform.value(QStringLiteral("veltoraSettings")).toObject();
    const QJsonArray deletions = section.value(QStringLiteral("delete")).toArray();
    QMap<QString, QString> additions;
    const QJsonObject add = section.value(QStringLiteral("add")).toObject();
    for (auto it = add.constBegin(); it != add.constEnd(); ++it)
        additions.insert(it.key(), it.value().toString());

    const QString settingsFile = dataPath + QStringLiteral("/settings.ini");
    if (!QFileInfo::exists(settingsFile))
        return;
    QSettings settings(settingsFile, QSettings::IniFormat);
    for (const QJsonValue &entry : deletions) {
        const QString key = entry.toString();
        // An empty key would stand for every key of the file.
        if (key.isEmpty()) {
            qDebug() << "Skipping an empty or non-text settings key to delete";
            continue;
        }
        settings.remove(key);
    }
    for (auto it = additions.constBegin(); it != additions.constEnd(); ++it)
        settings.setValue(it.key(), it.value());
    settings.sync();
}

bool begin(const Context &context, const QString &logFileName, const QJsonArray &deleteFiles,
           InstallJournal *journal, QString *error)
{
    journal->installPath = context.installPath;
    journal->updatePath = context.updatePath;
    journal->logFileName = logFileName;
    journal->configFileName = QFileInfo(context.manifest).fileName();
    journal->version = context.version;
    journal->phase = InstallJournal::Copying;
    journal->added.clear();
    QString skipBelow;
    for (const FileUtils::OverlayEntry &entry : FileUtils::overlayEntries(context.updatePath)) {
        if (!skipBelow.isEmpty() && entry.path.startsWith(skipBelow))
            continue;
        if (FileUtils::entryExists(join(context.installPath, entry.path)))
            continue;
        if (entry.kind == FileUtils::OverlayEntry::Folder) {
            // Everything below a new folder is new too; removing the folder undoes it all.
            skipBelow = entry.path + QLatin1Char('/');
            journal->added << skipBelow;
        } else {
            journal->added << entry.path;
        }
    }
    for (const QJsonValue &entry : deleteFiles) {
        const QString relative = entry.toString();
        const QString installed = join(context.installPath, relative);
        QString refusal;
        if (!FileUtils::isSafeRelativePath(relative) || !FileUtils::entryExists(installed)
            || !SafePath::parentIsContained(context.installPath, relative, &refusal))
            continue;
        const QString backup = join(context.backupPath, relative);
        QDir().mkpath(QFileInfo(backup).absolutePath());
        if (!copyFile(installed, backup)) {
            *error = QStringLiteral("cannot back up %1").arg(relative);
            return false;
        }
    }
    return journal->write(error);
}

void complete(const Context &context, const QJsonArray &deleteFiles, InstallJournal *journal)
{
    for (const QJsonValue &entry : deleteFiles) {
        const QString relative = entry.toString();
        if (!FileUtils::isSafeRelativePath(relative)) {
            qDebug() << "Skipping a delete entry outside the bundle:" << relative;
            continue;
        }
        QString refusal;
        if (!SafePath::parentIsContained(context.installPath, relative, &refusal)) {
            qDebug() << "Refusing delete entry" << relative << ":" << refusal;
            continue;
        }
        const QString installed = join(context.installPath, relative);
        const QString backup = join(context.backupPath, relative);
        // Removed by an earlier, interrupted run: the backup it took is kept as it is.
        if (!FileUtils::entryExists(installed) && FileUtils::entryExists(backup))
            continue;
        copyFile(installed, backup);
        SafePath::removeBeneath(context.installPath, relative, &refusal);
    }
    applySettingsEdits(context.manifest, context.dataPath);
    FileUtils::cleanSuffixFile(context.installPath, QStringLiteral("bak"));

    // The staging folder goes with the update data below; from here on the install
    // can only be completed, never repeated. The files reach the disk before the record says so.
    QString error;
    if (!FileUtils::syncFileSystem(context.installPath, &error) || !FileUtils::syncFileSystem(context.dataPath, &error))
        qDebug() << "Could not flush the installed files:" << error;
    journal->phase = InstallJournal::Installed;
    if (!journal->write(&error))
        qDebug() << "Could not record the finished install:" << error;
    cleanUp(context);
    if (!FileUtils::syncFileSystem(context.installPath, &error))
        qDebug() << "Could not flush the bundle:" << error;
    if (!InstallJournal::remove(context.installPath, &error))
        qDebug() << "Could not remove the install record:" << error;
}

void cleanUp(const Context &context)
{
    FileUtils::cleanSuffixFile(context.installPath, QStringLiteral("bak"));
    FileUtils::deleteDirectory(context.updateDir);
    FileUtils::deleteDirectory(context.cachePath);
    makeExecutable(context.installPath);
}

bool restore(const Context &context, const QStringList &added, const QJsonArray &addFiles)
{
    if (!copyDirectoryFiles(context.backupPath, context.installPath))
        return false;
    // Only what the install itself added goes: the manifest's add list may name any file
    // of the old version, which the restore has just brought back.
    QStringList remove = added;
    for (const QJsonValue &entry : addFiles) {
        const QString relative = entry.toString();
        const bool byInstall = std::any_of(added.cbegin(), added.cend(), [&relative](const QString &path) {
            return path == relative || (path.endsWith(QLatin1Char('/')) && relative.startsWith(path));
        });
        if (!FileUtils::isSafeRelativePath(relative))
            qDebug() << "Refusing add entry" << relative;
        else if (!byInstall && FileUtils::entryExists(join(context.installPath, relative)))
            qDebug() << "Keeping" << relative << ": it was there before the update";
    }
    for (const QString &relative : qAsConst(remove)) {
        if (!FileUtils::isSafeRelativePath(relative))
            continue;
        struct stat st;
        if (::lstat(QFile::encodeName(join(context.installPath, relative)).constData(), &st) != 0)
            continue; // never added, or gone already
        // Never through a link the install (or the packet) put on the way.
        QString refusal;
        const bool removed = S_ISDIR(st.st_mode)
            ? SafePath::removeTreeBeneath(context.installPath, relative, &refusal)
            : SafePath::removeBeneath(context.installPath, relative, &refusal);
        if (!removed)
            qDebug() << "Refusing to remove" << relative << ":" << refusal;
    }
    FileUtils::cleanSuffixFile(context.installPath, QStringLiteral("bak"));
    QString error;
    if (!FileUtils::syncFileSystem(context.installPath, &error))
        qDebug() << "Could not flush the restored files:" << error;
    if (!InstallJournal::remove(context.installPath, &error))
        qDebug() << "Could not remove the install record:" << error;
    return true;
}

void makeExecutable(const QString &installPath)
{
    const QString folder = QStringLiteral("Contents/MacOS");
    const QFileInfoList entries = QDir(join(installPath, folder))
                                      .entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        struct stat st;
        // A link is data: what it points to, maybe outside the bundle, stays as it is.
        if (::lstat(QFile::encodeName(entry.absoluteFilePath()).constData(), &st) != 0 || S_ISLNK(st.st_mode))
            continue;
        QString refusal;
        if (!SafePath::chmodBeneath(installPath, join(folder, entry.fileName()),
                                    (st.st_mode & 07777) | S_IXUSR | S_IXGRP | S_IXOTH, &refusal))
            qDebug() << "Could not make executable:" << refusal;
    }
}

} // namespace InstallSteps
