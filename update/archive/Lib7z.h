#ifndef VELTORA_LIB7Z_H
#define VELTORA_LIB7Z_H

#include "SevenZipException.h"

#include <QString>
#include <QtGlobal>

#include <memory>

class QFileDevice;

// The program's facade over the 7z engine: it decides where every item goes on
// disk, which directories are made and removed again, how links, permissions and
// times are restored, and how failures are reported.
namespace Lib7z {

class ExtractCallbackImpl;

// Hooks into one extraction. The defaults accept every file and ignore progress.
class ExtractCallback
{
public:
    ExtractCallback();
    virtual ~ExtractCallback();
    ExtractCallback(const ExtractCallback &) = delete;
    ExtractCallback &operator=(const ExtractCallback &) = delete;

    // Asked before a file item is written; false fails the item.
    virtual bool prepareForFile(const QString &filePath);
    // Told every directory created and every item handled, by absolute path.
    virtual void setCurrentFile(const QString &filePath);
    // Progress in archive bytes; a non-zero result aborts the extraction.
    virtual int setCompleted(quint64 completed, quint64 total);

    void setTarget(const QString &directory);

private:
    friend class ExtractCallbackImpl;
    friend bool extractArchive(QFileDevice *, const QString &, ExtractCallback *);
    std::unique_ptr<ExtractCallbackImpl> d;
};

// Idempotent: the formats are set up once per process.
void init();
// What init() set up; for diagnostics.
QStringList registeredFormats();

// Unpacks every item of the open archive device into targetDirectory. Returns false
// when an item fails (see lastError()); throws SevenZipException for failures before
// any item is read (target's parent unusable, archive unreadable).
bool extractArchive(QFileDevice *archive, const QString &targetDirectory, ExtractCallback *callback = nullptr);

QString lastError();
void setLastError(const QString &error);

// Packets of plain LZMA2 folders are read from their own index by default (faster,
// several threads); switched off, every packet goes through the general reader.
void setIndexedReaderEnabled(bool enabled);

} // namespace Lib7z

#endif
