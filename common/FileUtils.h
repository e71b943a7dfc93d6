#ifndef VELTORA_FILEUTILS_H
#define VELTORA_FILEUTILS_H

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>

// The installation rules of the whole system: identical files are left alone,
// an existing file is never overwritten in place (it is removed or moved aside
// first), symbolic links are recreated as relative links.

// Hands the whole file to `consume` in pieces of 256 KB; false when it cannot be read.
bool readFileInPieces(const QString &path, const std::function<void(const char *data, qint64 size)> &consume);

// Lower-case hexadecimal MD5 of the whole file, or empty when it cannot be read.
QByteArray getLocalFileMd5Value(const QString &path);

// Copies one file (or recreates one symbolic link) onto a possibly existing destination.
bool copyFile(const QString &source, const QString &destination);

// Overlays the tree fromDir onto toDir; stops at the first failure. A folder of the
// tree that toDir holds as a link or a file is a failure: nothing is written through it.
bool copyDirectoryFiles(const QString &fromDir, const QString &toDir);

namespace FileUtils {

// Whether anything is at the path, a dangling link included; links are not followed.
bool entryExists(const QString &path);

// Whether the path is a folder itself, not a link to one.
bool isRealFolder(const QString &path);

// A manifest path that stays below the directory it is joined to: not empty, not
// absolute, no ".." component. Manifests come over plain HTTP.
bool isSafeRelativePath(const QString &path);

// Removes every regular file below dir whose suffix is exactly `suffix`.
void cleanSuffixFile(const QString &dir, const QString &suffix);

// Removes dir and everything below it without following links; a missing dir counts as removed.
bool deleteDirectory(const QString &dir);

// One entry an overlay of a tree (copyDirectoryFiles) writes, relative to the tree.
struct OverlayEntry
{
    enum Kind { File, Link, Folder };
    QString path;
    Kind kind = File;
};

// What copyDirectoryFiles(fromDir, ...) visits, in its order; a folder comes before
// what it holds.
QVector<OverlayEntry> overlayEntries(const QString &fromDir);

// Whether two paths hold the same thing, without following links: both missing; two
// files of equal mode and content; two links of the same text.
bool sameEntry(const QString &a, const QString &b);

// Removes the temporary files a killed patcher left beside its results
// ("<name>.bspatch-<pid>-<n>").
void cleanPatcherLeftovers(const QString &dir);

// Flushes everything written to the file system that holds path to the disk.
bool syncFileSystem(const QString &path, QString *error = nullptr);

// Writes every regular file below dir with its permission flags into the log.
void showDirAllFiles(const QString &dir);

} // namespace FileUtils

#endif
