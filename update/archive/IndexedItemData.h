#ifndef VELTORA_INDEXEDITEMDATA_H
#define VELTORA_INDEXEDITEMDATA_H

#include "ItemData.h"
#include "Lzma2Decoder.h"
#include "SevenZipIndex.h"

#include <memory>

namespace Lib7z {

// Item data of an indexed packet: each item's share of its folder's unpacked
// bytes, checked against the item's CRC at its end.
class IndexedItemData : public ItemData
{
public:
    IndexedItemData(int fileDescriptor, const SevenZipIndex &index, int threads);

    // Starts the next item; items must come in index order.
    void begin(const SevenZipIndex::Item &item);
    // Reads what is left of the item and checks it; false when it is damaged.
    bool finish();

    int next(const char **data, size_t *size) override;
    QString errorString() const override { return error; }
    quint64 packetPosition() const override;

private:
    int fd;
    const SevenZipIndex &index;
    int threads;
    std::unique_ptr<Lzma2Decoder> decoder;
    int decoderFolder = -1;
    const char *piece = nullptr;
    size_t pieceLeft = 0;
    quint64 remaining = 0;
    quint32 crc = 0;
    bool checkCrc = false;
    quint32 expectedCrc = 0;
    bool ended = true;
    QString error;
};

} // namespace Lib7z

#endif
