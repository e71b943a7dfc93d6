#ifndef VELTORA_ARCHIVEITEMDATA_H
#define VELTORA_ARCHIVEITEMDATA_H

#include "ItemData.h"

struct archive;

namespace Lib7z {

// Item data read through the general archive reader.
class ArchiveItemData : public ItemData
{
public:
    explicit ArchiveItemData(struct archive *reader) : reader(reader) {}

    // Starts a new item.
    void reset() { expected = 0; }

    int next(const char **data, size_t *size) override;
    QString errorString() const override { return error; }
    quint64 packetPosition() const override;

private:
    struct archive *reader;
    qint64 expected = 0;
    QString error;
};

} // namespace Lib7z

#endif
