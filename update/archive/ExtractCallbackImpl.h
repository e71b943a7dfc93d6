#ifndef VELTORA_EXTRACTCALLBACKIMPL_H
#define VELTORA_EXTRACTCALLBACKIMPL_H

#include <QSet>
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

    // Starts an extraction into targetDirectory: forgets what the last one learnt.
    void begin();

private:
    // The item's path below the target, or empty (last error set) when it is refused.
    QString itemPath(struct archive_entry *entry, quint32 index) const;
    bool getStream(struct archive_entry *entry, const QString &path, std::unique_ptr<QIODeviceSequentialOutStream> *stream);
    bool writeData(ItemData &data, const QString &path, QIODeviceSequentialOutStream *stream);
    // Restores times and mode; `fd` is the item's file still open from its writing, or -1.
    bool setOperationResult(struct archive_entry *entry, const QString &path, int fd = -1);
    bool staysInside(const QString &relativeDirectory);

    ExtractCallback *q;
    quint32 m_currentIndex = 0;
    quint64 m_total = 0;
    quint64 m_completed = 0;
    // Resolved once per extraction rather than per item.
    QString m_absoluteTarget;
    QString m_canonicalTarget;
    // Folders below the target found to be real folders all the way down. Items
    // never remove or replace a folder, so they stay such for the extraction;
    // the check is then one lookup per item instead of a walk up its path.
    QSet<QString> m_realFolders;
};

} // namespace Lib7z

#endif
