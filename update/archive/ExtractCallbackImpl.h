#ifndef VELTORA_EXTRACTCALLBACKIMPL_H
#define VELTORA_EXTRACTCALLBACKIMPL_H

#include <QString>
#include <QtGlobal>

#include <memory>

struct archive;
struct archive_entry;

namespace Lib7z {

class ExtractCallback;
class ItemData;
class QIODeviceSequentialOutStream;

// The engine-facing side of an extraction: places one item at a time on disk.
class ExtractCallbackImpl
{
public:
    explicit ExtractCallbackImpl(ExtractCallback *q) : q(q) {}

    // Extracts one item, its bytes coming from `data`. False when it fails (last
    // error set); throws SevenZipException when its directory chain cannot be made.
    bool extractItem(ItemData &data, struct archive_entry *entry, quint32 index);

    void setTotal(quint64 total) { m_total = total; }
    // Forwards progress to the hook; false when the hook asks to stop.
    bool setCompleted(quint64 completed);

    QString targetDirectory;

private:
    // The item's path below the target, or empty (last error set) when it is refused.
    QString itemPath(struct archive_entry *entry, quint32 index) const;
    bool getStream(struct archive_entry *entry, const QString &path, std::unique_ptr<QIODeviceSequentialOutStream> *stream);
    bool writeData(ItemData &data, const QString &path, QIODeviceSequentialOutStream *stream);
    bool setOperationResult(struct archive_entry *entry, const QString &path);

    ExtractCallback *q;
    quint32 m_currentIndex = 0;
    quint64 m_total = 0;
    quint64 m_completed = 0;
};

} // namespace Lib7z

#endif
