#include "InstallSteps.h"

#include "FileUtils.h"
#include "InstallManifest.h"
#include "SafePath.h"

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

// The same bytes, whatever the modes.
bool sameContent(const QString &a, const QString &b)
{
    return kindOf(a) == Kind::File && kindOf(b) == Kind::File && QFileInfo(a).size() == QFileInfo(b).size()
        && getLocalFileMd5Value(a) == getLocalFileMd5Value(b);
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

bool isBundle(const QString &installPath)
{
    return !installPath.isEmpty() && FileUtils::isRealFolder(installPath + QStringLiteral("/Contents/MacOS"));
}

bool hasStagedFiles(const QString &updatePath)
{
    return QFileInfo(updatePath).isDir() && !FileUtils::overlayEntries(updatePath).isEmpty();
}

bool isFolderDirectlyIn(const QString &parent, const QString &path, QString *error)
{
    const QString root = QDir::cleanPath(parent);
    const QString folder = QDir::cleanPath(path);
    const QString name = QFileInfo(folder).fileName();
    if (QFileInfo(folder).isRelative() || QFileInfo(folder).absolutePath() != root || name.isEmpty()) {
        *error = QStringLiteral("%1 is not a folder of %2").arg(path, root);
        return false;
    }
    const int fd = SafePath::openBeneath(root, name, O_DIRECTORY | O_RDONLY, error);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

void applySettingsEdits(const InstallManifest &manifest, const QString &dataPath)
{
    QMap<QString, QString> additions;
    for (auto it = manifest.settingsAdditions.constBegin(); it != manifest.settingsAdditions.constEnd(); ++it)
        additions.insert(it.key(), it.value().toString());

    const QString settingsFile = dataPath + QStringLiteral("/settings.ini");
    if (!QFileInfo::exists(settingsFile))
        return;
    QSettings settings(settingsFile, QSettings::IniFormat);
    for (const QJsonValue &entry : manifest.settingsDeletions) {
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

bool backUp(const Paths &paths, const QStringList &patchedFiles, const QJsonArray &deleteFiles, QString *failedEntry)
{
    const auto backUpEntry = [&paths, failedEntry](const QString &relative) {
        const QString target = join(paths.backupPath, relative);
        QDir().mkpath(QFileInfo(target).absolutePath());
        const QString installed = join(paths.installPath, relative);
        const bool ok = kindOf(installed) == Kind::Folder ? copyTree(installed, target) : copyFile(installed, target);
        if (!ok)
            *failedEntry = relative;
        return ok;
    };

    for (const QString &relative : patchedFiles) {
        // Never read or written outside the bundle or through a link; the patcher refused it already.
        QString refusal;
        if (!FileUtils::isSafeRelativePath(relative) || !SafePath::parentIsContained(paths.installPath, relative, &refusal))
            continue;
        if (getLocalFileMd5Value(join(paths.installPath, relative)) == getLocalFileMd5Value(join(paths.backupPath, relative)))
            continue;
        if (!backUpEntry(relative))
            return false;
    }

    // Everything else the install overwrites or removes: the installed counterpart of
    // every staged entry that differs from it, whole when it changes kind.
    QString skipBelow;
    for (const FileUtils::OverlayEntry &entry : FileUtils::overlayEntries(paths.stagingPath)) {
        if (!skipBelow.isEmpty() && entry.path.startsWith(skipBelow))
            continue;
        // What lies behind a link on the way is not the bundle's: the install refuses to
        // write there, so there is nothing to take back either.
        QString refusal;
        if (!SafePath::parentIsContained(paths.installPath, entry.path, &refusal)) {
            qDebug() << "Not backing up through a link:" << entry.path;
            continue;
        }
        const QString installed = join(paths.installPath, entry.path);
        const Kind kind = kindOf(installed);
        if (kind == Kind::None || (kind == Kind::Folder && entry.kind == FileUtils::OverlayEntry::Folder))
            continue;
        if (entry.kind == FileUtils::OverlayEntry::Folder)
            skipBelow = entry.path + QLatin1Char('/'); // a file becomes a folder: nothing below it is installed
        else if (kind != Kind::Folder
                 && (FileUtils::sameEntry(installed, join(paths.stagingPath, entry.path))
                     || FileUtils::sameEntry(installed, join(paths.backupPath, entry.path))))
            continue;
        if (!backUpEntry(entry.path))
            return false;
    }

    // The delete list's files; the setup program removes only what was backed up.
    for (const QJsonValue &value : deleteFiles) {
        const QString relative = value.toString();
        QString refusal;
        if (!FileUtils::isSafeRelativePath(relative) || !SafePath::parentIsContained(paths.installPath, relative, &refusal))
            continue;
        // Folders are not deleted: the setup program says so.
        const Kind kind = kindOf(join(paths.installPath, relative));
        if (kind != Kind::None && kind != Kind::Folder && !backUpEntry(relative))
            qDebug() << "Could not back up" << relative << "of the delete list; it is kept";
    }
    failedEntry->clear();
    return true;
}

void plan(const Paths &paths, QStringList *added, QStringList *written)
{
    added->clear();
    written->clear();
    QString skipBelow;
    for (const FileUtils::OverlayEntry &entry : FileUtils::overlayEntries(paths.stagingPath)) {
        const QString installed = join(paths.installPath, entry.path);
        if (entry.kind == FileUtils::OverlayEntry::File && !sameContent(join(paths.stagingPath, entry.path), installed))
            *written << entry.path;
        if (!skipBelow.isEmpty() && entry.path.startsWith(skipBelow))
            continue;
        if (FileUtils::entryExists(installed))
            continue;
        if (entry.kind == FileUtils::OverlayEntry::Folder) {
            // Everything below a new folder is new too; removing the folder undoes it all.
            skipBelow = entry.path + QLatin1Char('/');
            *added << skipBelow;
        } else {
            *added << entry.path;
        }
    }
}

namespace {

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

// Whether an entry of the added list can be one the install created: the backup holds
// nothing there (what the old version had and the install replaced), and every file at
// or below it is one the install wrote, by the record or by the staging folder still there.
bool createdByInstall(const Paths &paths, const QString &entry, const QStringList *written)
{
    const QString relative = entry.endsWith(QLatin1Char('/')) ? entry.chopped(1) : entry;
    if (relative.isEmpty() || kindOf(join(paths.backupPath, relative)) != Kind::None)
        return false;
    const auto wroteFile = [&paths, written](const QString &file) {
        return (written && written->contains(file)) || FileUtils::entryExists(join(paths.stagingPath, file));
    };
    if (kindOf(join(paths.installPath, relative)) != Kind::Folder)
        return wroteFile(relative);
    const QVector<FileUtils::OverlayEntry> below = FileUtils::overlayEntries(join(paths.installPath, relative));
    return std::all_of(below.cbegin(), below.cend(), [&](const FileUtils::OverlayEntry &inside) {
        return inside.kind == FileUtils::OverlayEntry::Folder || wroteFile(relative + QLatin1Char('/') + inside.path);
    });
}

} // namespace

bool overlay(const QString &fromDir, const QString &toDir, const QStringList *written, bool restoring)
{
    QString skipBelow;
    for (const FileUtils::OverlayEntry &entry : FileUtils::overlayEntries(fromDir)) {
        if (!skipBelow.isEmpty() && entry.path.startsWith(skipBelow))
            continue;
        const Kind kind = kindOf(join(toDir, entry.path));
        if (kind == Kind::File && entry.kind == FileUtils::OverlayEntry::File) {
            // A copy cut short between its content and its mode is identical to the copy
            // and so skipped by it: the mode is set here, but only where the install
            // writes the content. An unchanged file keeps its own mode.
            const mode_t mode = modeOf(join(fromDir, entry.path));
            QString error;
            if ((!written || written->contains(entry.path)) && mode != modeOf(join(toDir, entry.path))
                && !SafePath::chmodBeneath(toDir, entry.path, mode, &error))
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
    if (!copyDirectoryFiles(fromDir, toDir))
        return false;
    return !restoring || restoreLinks(fromDir, toDir);
}

void removeDeleteList(const Paths &paths, const QJsonArray &deleteFiles)
{
    for (const QJsonValue &entry : deleteFiles) {
        const QString relative = entry.toString();
        if (!FileUtils::isSafeRelativePath(relative)) {
            qDebug() << "Skipping a delete entry outside the bundle:" << relative;
            continue;
        }
        QString refusal;
        if (!SafePath::parentIsContained(paths.installPath, relative, &refusal)) {
            qDebug() << "Refusing delete entry" << relative << ":" << refusal;
            continue;
        }
        const QString installed = join(paths.installPath, relative);
        const Kind kind = kindOf(installed);
        if (kind == Kind::None) // removed by an earlier, interrupted run
            continue;
        if (kind == Kind::Folder) {
            qDebug() << "Skipping the folder" << relative << "of the delete list: only files are deleted";
            continue;
        }
        // Only what the backup can bring back goes (the hand-off backed it up; a setup
        // program started without one does it here).
        const QString backup = join(paths.backupPath, relative);
        QDir().mkpath(QFileInfo(backup).absolutePath());
        if (!FileUtils::entryExists(backup) && !copyFile(installed, backup)) {
            qDebug() << "Keeping" << relative << ": it could not be backed up";
            continue;
        }
        SafePath::removeBeneath(paths.installPath, relative, &refusal);
    }
}

void cleanUp(const Paths &paths, const QString &keepFile)
{
    FileUtils::cleanSuffixFile(paths.installPath, QStringLiteral("bak"));
    removeUpdateData(paths.updateDir, keepFile);
    FileUtils::deleteDirectory(paths.cachePath);
    makeExecutable(paths.installPath);
}

bool restore(const Paths &paths, const QStringList &added, const QStringList *written, const QJsonArray &addFiles)
{
    if (!overlay(paths.backupPath, paths.installPath, nullptr, true))
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
        else if (!byInstall && FileUtils::entryExists(join(paths.installPath, relative)))
            qDebug() << "Keeping" << relative << ": it was there before the update";
    }
    for (const QString &relative : added) {
        if (!FileUtils::isSafeRelativePath(relative) || kindOf(join(paths.installPath, relative)) == Kind::None)
            continue; // never added, or gone already
        // A damaged or crafted record may name the bundle's own folders.
        if (!createdByInstall(paths, relative, written)) {
            qDebug() << "Keeping" << relative << ": the install did not create it";
            continue;
        }
        // Never through a link the install (or the packet) put on the way.
        QString refusal;
        if (!removeEntry(paths.installPath, relative, &refusal))
            qDebug() << "Refusing to remove" << relative << ":" << refusal;
    }
    FileUtils::cleanSuffixFile(paths.installPath, QStringLiteral("bak"));
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
