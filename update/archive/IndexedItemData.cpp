#include "IndexedItemData.h"

#include <QCoreApplication>

#include <zlib.h>

namespace Lib7z {

IndexedItemData::IndexedItemData(int fileDescriptor, const SevenZipIndex &index, int threads)
    : fd(fileDescriptor)
    , index(index)
    , threads(threads)
{
}

void IndexedItemData::begin(const SevenZipIndex::Item &item)
{
    remaining = item.hasStream ? item.size : 0;
    ended = !item.hasStream;
    crc = 0;
    checkCrc = item.hasCrc;
    expectedCrc = item.crc;
    if (item.hasStream && item.folder != decoderFolder) {
        decoder.reset();   // a folder's workers end before the next one starts
        decoder = std::make_unique<Lzma2Decoder>(fd, index.folders.at(item.folder), threads);
        decoderFolder = item.folder;
        piece = nullptr;
        pieceLeft = 0;
    }
}

int IndexedItemData::next(const char **data, size_t *size)
{
    if (remaining == 0) {
        if (ended)
            return 0;
        ended = true;
        if (checkCrc && crc != expectedCrc) {
            error = QCoreApplication::translate("IndexedItemData", "CRC error");
            return -1;
        }
        return 0;
    }
    if (pieceLeft == 0) {
        const int result = decoder->next(&piece, &pieceLeft);
        if (result <= 0) {
            error = result < 0 ? decoder->errorString()
                               : QCoreApplication::translate("IndexedItemData", "the folder ends before its items");
            return -1;
        }
    }
    const size_t n = size_t(qMin<quint64>(pieceLeft, remaining));
    crc = quint32(crc32(crc, reinterpret_cast<const Bytef *>(piece), uInt(n)));
    *data = piece;
    *size = n;
    piece += n;
    pieceLeft -= n;
    remaining -= n;
    return 1;
}

bool IndexedItemData::finish()
{
    const char *data = nullptr;
    size_t size = 0;
    int result;
    while ((result = next(&data, &size)) > 0) {
    }
    return result == 0;
}

quint64 IndexedItemData::packetPosition() const
{
    return decoder ? quint64(decoder->packedPosition()) : 0;
}

} // namespace Lib7z
