#include "InstallSteps.h"

#include "DataPaths.h"
#include "FileUtils.h"
#include "HandOff.h"
#include "InstallJournal.h"
#include "ReleaseKey.h"
#include "SafePath.h"
#include "SignedManifest.h"
#include "UpdateManifest.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QMap>
#include <QSettings>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace InstallSteps {

namespace {

QString join(const QString &base, const QString &relative)
{
    return base + QLatin1Char('/') + relative;
}

enum class Kind { None, File, Link, Folder };

Kind kindOf(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return Kind::None;
    if (S_ISDIR(st.st_mode))
        return Kind::Folder;
    return S_ISLNK(st.st_mode) ? Kind::Link : Kind::File;
}

// The permission bits a copy gives (see copyFile).
mode_t modeOf(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 0777 : 0;
}

Kind kindOf(FileUtils::OverlayEntry::Kind kind)
{
    switch (kind) {
    case FileUtils::OverlayEntry::Folder: return Kind::Folder;
    case FileUtils::OverlayEntry::Link: return Kind::Link;
    default: return Kind::File;
    }
}

// A whole folder as it is, hidden entries and links included: what a folder that the
// new version replaces by a file held must come back exactly.
bool copyTree(const QString &from, const QString &to)
{
    if (!QDir().mkpath(to))
        return false;
    const QFileInfoList entries =
        QDir(from).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QString target = join(to, entry.fileName());
        const bool ok = entry.isDir() && !entry.isSymLink() ? copyTree(entry.absoluteFilePath(), target)
                                                            : copyFile(entry.absoluteFilePath(), target);
        if (!ok)
            return false;
    }
    return true;
}

// The entry itself, link-safe: a folder with everything below it, else the file or link.
bool removeEntry(const QString &root, const QString &relative, QString *error)
{
    return kindOf(join(root, relative)) == Kind::Folder ? SafePath::removeTreeBeneath(root, relative, error)
                                                         : SafePath::removeBeneath(root, relative, error);
}

// The manifest's settings edits: keys to delete, keys to set.
bool settingsEdits(const QString &manifest, QJsonArray *deletions, QJsonObject *additions)
{
    QByteArray bytes;
    if (!UpdateManifest::readFile(manifest, &bytes))
        return false;
    // A text that is not a JSON object edits nothing.
    QJsonObject platform;
    UpdateManifest::platformSection(bytes, QStringLiteral("mac"), &platform);
    const QJsonObject section = platform.value(QStringLiteral("veltoraSettings")).toObject();
    *deletions = section.value(QStringLiteral("delete")).toArray();
    *additions = section.value(QStringLiteral("add")).toObject();
    return true;
}

// Empties the update data folder but for one file of it (the log of this run).
void removeUpdateData(const QString &updateDir, const QString &keepFile)
{
    const QFileInfo keep(keepFile);
    if (keepFile.isEmpty() || QDir::cleanPath(keep.absolutePath()) != QDir::cleanPath(updateDir)) {
        FileUtils::deleteDirectory(updateDir);
        return;
    }
    const QStringList names =
        QDir(updateDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        QString error;
        if (name != keep.fileName() && !removeEntry(updateDir, name, &error))
            qDebug() << "Could not remove" << error;
    }
}

} // namespace

Context contextFor(const HandOff &handOff)
{
    Context context;
    context.installPath = handOff.installPath;
    context.updatePath = handOff.stagingPath;
    context.backupPath = QStringLiteral("%1/Contents/backup").arg(handOff.installPath);
    context.updateDir = DataPaths::updateDirectory();
    context.cachePath = DataPaths::cacheDirectory();
    context.dataPath = DataPaths::dataDirectory();
    context.manifest = join(context.updateDir, handOff.configFileName);
    context.version = handOff.version;
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

bool isStagingFolder(const Context &context, QString *error)
{
    const QString updateDir = QDir::cleanPath(context.updateDir);
    const QString staging = QDir::cleanPath(context.updatePath);
    const QString name = QFileInfo(staging).fileName();
    if (QFileInfo(staging).isRelative() || QFileInfo(staging).absolutePath() != updateDir || name.isEmpty()) {
        *error = QStringLiteral("%1 is not a folder of the update data folder %2").arg(context.updatePath, updateDir);
        return false;
    }
    const int fd = SafePath::openBeneath(updateDir, name, O_DIRECTORY | O_RDONLY, error);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool hasListedChanges(const Context &context)
{
    QJsonArray deleteFiles;
    QJsonArray addFiles;
    QJsonArray deletions;
    QJsonObject additions;
    readLists(context.manifest, context.version, &deleteFiles, &addFiles);
    settingsEdits(context.manifest, &deletions, &additions);
    return !deleteFiles.isEmpty() || !deletions.isEmpty() || !additions.isEmpty();
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
    QJsonArray deletions;
    QJsonObject add;
    if (!settingsEdits(manifest, &deletions, &add)) {
        qDebug() << manifest;
        qDebug() << "Get add and del ini key,Open update config failed";
        return;
    }
    QMap<QString, QString> additions;
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

bool trustedKey(const Context &context, ReleaseKey *key, QString *error)
{
    if (!ReleaseKey::installed(context.backupPath, key, error))
        return false;
    return !key->isNull() || ReleaseKey::installed(context.installPath, key, error);
}

bool manifestTrusted(const ReleaseKey &key, const Context &context, QString *error)
{
    if (key.isNull())
        return true;
    QByteArray bytes;
    return key.verifyManifest(context.manifest, &bytes, error)
        && SignedManifest::checkContent(bytes, QStringLiteral("mac"), context.version, error);
}

bool backUp(const Context &context, const QStringList &patchedFiles, QString *failedEntry)
{
    const auto backUpEntry = [&context, failedEntry](const QString &relative) {
        const QString target = join(context.backupPath, relative);
        QDir().mkpath(QFileInfo(target).absolutePath());
        const QString installed = join(context.installPath, relative);
        const bool ok = kindOf(installed) == Kind::Folder ? copyTree(installed, target) : copyFile(installed, target);
        if (!ok)
            *failedEntry = relative;
        return ok;
    };

    for (const QString &relative : patchedFiles) {
        // Never read or written outside the bundle or through a link; the patcher refused it already.
        QString refusal;
        if (!FileUtils::isSafeRelativePath(relative) || !SafePath::parentIsContained(context.installPath, relative, &refusal))
            continue;
        if (getLocalFileMd5Value(join(context.installPath, relative)) == getLocalFileMd5Value(join(context.backupPath, relative)))
            continue;
        if (!backUpEntry(relative))
            return false;
    }

    // Everything else the install overwrites or removes: the installed counterpart of
    // every staged entry that differs from it, whole when it changes kind.
    QString skipBelow;
    for (const FileUtils::OverlayEntry &entry : FileUtils::overlayEntries(context.updatePath)) {
        if (!skipBelow.isEmpty() && entry.path.startsWith(skipBelow))
            continue;
        // What lies behind a link on the way is not the bundle's: the install refuses to
        // write there, so there is nothing to take back either.
        QString refusal;
        if (!SafePath::parentIsContained(context.installPath, entry.path, &refusal)) {
            qDebug() << "Not backing up through a link:" << entry.path;
            continue;
        }
        const QString installed = join(context.installPath, entry.path);
        const Kind kind = kindOf(installed);
        if (kind == Kind::None || (kind == Kind::Folder && entry.kind == FileUtils::OverlayEntry::Folder))
            continue;
        if (entry.kind == FileUtils::OverlayEntry::Folder)
            skipBelow = entry.path + QLatin1Char('/'); // a file becomes a folder: nothing below it is installed
        else if (kind != Kind::Folder
                 && (FileUtils::sameEntry(installed, join(context.updatePath, entry.path))
                     || FileUtils::sameEntry(installed, join(context.backupPath, entry.path))))
            continue;
        if (!backUpEntry(entry.path))
            return false;
    }

    // The delete list's files; the setup program removes only what was backed up.
    QJsonArray deleteFiles;
    QJsonArray addFiles;
    readLists(context.manifest, context.version, &deleteFiles, &addFiles);
    for (const QJsonValue &value : qAsConst(deleteFiles)) {
        const QString relative = value.toString();
        QString refusal;
        if (!FileUtils::isSafeRelativePath(relative) || !SafePath::parentIsContained(context.installPath, relative, &refusal))
            continue;
        // Folders are not deleted: the setup program says so.
        const Kind kind = kindOf(join(context.installPath, relative));
        if (kind != Kind::None && kind != Kind::Folder && !backUpEntry(relative))
            qDebug() << "Could not back up" << relative << "of the delete list; it is kept";
    }
    failedEntry->clear();
    return true;
}

bool begin(const Context &context, const HandOff &handOff, InstallJournal *journal, QString *error)
{
    journal->handOff = handOff;
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
    return journal->write(error);
}

namespace {

bool overlayKinds(const QString &fromDir, const QString &toDir, bool restoring)
{
    QString skipBelow;
    for (const FileUtils::OverlayEntry &entry : FileUtils::overlayEntries(fromDir)) {
        if (!skipBelow.isEmpty() && entry.path.startsWith(skipBelow))
            continue;
        const Kind kind = kindOf(join(toDir, entry.path));
        if (kind == Kind::File && entry.kind == FileUtils::OverlayEntry::File) {
            // A copy cut short between its content and its mode is identical to the copy
            // and so skipped by it: the mode is set here.
            const mode_t mode = modeOf(join(fromDir, entry.path));
            QString error;
            if (mode != modeOf(join(toDir, entry.path)) && !SafePath::chmodBeneath(toDir, entry.path, mode, &error))
                qDebug() << "Could not set the mode of" << entry.path << ":" << error;
            continue;
        }
        if (kind == Kind::None || kind == kindOf(entry.kind))
            continue;
        // A link where the new tree has a folder stays a refusal of the copy, as any link on
        // the way of an install is; only putting the backup back replaces the install's own.
        if (!restoring && kind == Kind::Link && entry.kind == FileUtils::OverlayEntry::Folder)
            continue;
        QString error;
        if (!removeEntry(toDir, entry.path, &error)) {
            qDebug() << "Could not clear the way for" << entry.path << ":" << error;
            return false;
        }
        if (entry.kind == FileUtils::OverlayEntry::Folder) {
            skipBelow = entry.path + QLatin1Char('/');
            if (restoring && !copyTree(join(fromDir, entry.path), join(toDir, entry.path)))
                return false;
        }
    }
    return copyDirectoryFiles(fromDir, toDir);
}

// The backup's links, dangling ones included (their targets are seldom backed up too),
// which the overlay's listing passes over.
bool restoreLinks(const QString &backupDir, const QString &installDir)
{
    QDirIterator it(backupDir, QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (kindOf(path) != Kind::Link)
            continue;
        const QString relative = path.mid(backupDir.size() + 1);
        const QString installed = join(installDir, relative);
        QString error;
        if (!SafePath::parentIsContained(installDir, relative, &error) || FileUtils::sameEntry(path, installed))
            continue;
        if (kindOf(installed) != Kind::None && !removeEntry(installDir, relative, &error)) {
            qDebug() << "Could not clear the way for" << relative << ":" << error;
            return false;
        }
        if (!copyFile(path, installed))
            return false;
    }
    return true;
}

} // namespace

bool overlay(const QString &fromDir, const QString &toDir)
{
    return overlayKinds(fromDir, toDir, false);
}

void complete(const Context &context, const QJsonArray &deleteFiles, InstallJournal *journal, const QString &keepFile)
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
        const Kind kind = kindOf(installed);
        if (kind == Kind::None) // removed by an earlier, interrupted run
            continue;
        if (kind == Kind::Folder) {
            qDebug() << "Skipping the folder" << relative << "of the delete list: only files are deleted";
            continue;
        }
        // Only what the backup can bring back goes (the hand-off backed it up; a setup
        // program started without one does it here).
        const QString backup = join(context.backupPath, relative);
        QDir().mkpath(QFileInfo(backup).absolutePath());
        if (!FileUtils::entryExists(backup) && !copyFile(installed, backup)) {
            qDebug() << "Keeping" << relative << ": it could not be backed up";
            continue;
        }
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
    cleanUp(context, keepFile);
    if (!FileUtils::syncFileSystem(context.installPath, &error))
        qDebug() << "Could not flush the bundle:" << error;
    if (!InstallJournal::remove(context.installPath, &error))
        qDebug() << "Could not remove the install record:" << error;
}

void cleanUp(const Context &context, const QString &keepFile)
{
    FileUtils::cleanSuffixFile(context.installPath, QStringLiteral("bak"));
    removeUpdateData(context.updateDir, keepFile);
    FileUtils::deleteDirectory(context.cachePath);
    makeExecutable(context.installPath);
}

bool restore(const Context &context, const QStringList &added, const QJsonArray &addFiles)
{
    if (!overlayKinds(context.backupPath, context.installPath, true) || !restoreLinks(context.backupPath, context.installPath))
        return false;
    // Only what the install itself added goes: the manifest's add list may name any file
    // of the old version, which the restore has just brought back.
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
    for (const QString &relative : added) {
        if (!FileUtils::isSafeRelativePath(relative) || kindOf(join(context.installPath, relative)) == Kind::None)
            continue; // never added, or gone already
        // Never through a link the install (or the packet) put on the way.
        QString refusal;
        if (!removeEntry(context.installPath, relative, &refusal))
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
