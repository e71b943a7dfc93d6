#ifndef VELTORA_TESTFILES_H
#define VELTORA_TESTFILES_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/resource.h>
#include <sys/types.h>

// Small file helpers shared by the test suites.
namespace TestFiles {

// Writes a file, making its folders; false when it cannot be written.
bool writeFile(const QString &path, const QByteArray &data);
// The file's content, or "<missing>" when it cannot be read.
QByteArray readFile(const QString &path);
// The text a symbolic link stores, or empty.
QString linkText(const QString &path);
// Permission bits of the entry itself (links not followed), 0 when missing.
mode_t modeOf(const QString &path);
// Packs a folder's content into `archive` with the 7z command-line tool (links
// stored as links, `options` before the names); false when the tool fails.
bool sevenZip(const QString &folder, const QString &archive, const QStringList &options = {});
// Reproducible noise.
QByteArray randomBytes(int size, quint32 seed);

// A full disk for this process while it lives: no file can grow past `bytes`
// (writes fail with EFBIG instead of a signal), root included.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(qint64 bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlim_t m_before = 0;
    bool m_set = false;
};

} // namespace TestFiles

#endif
