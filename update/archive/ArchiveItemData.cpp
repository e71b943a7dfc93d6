#include "ArchiveItemData.h"

#include <archive.h>

namespace Lib7z {

int ArchiveItemData::next(const char **data, size_t *size)
{
    const void *block = nullptr;
    la_int64_t offset = 0;
    const int result = archive_read_data_block(reader, &block, size, &offset);
    if (result == ARCHIVE_EOF)
        return 0;
    if (result != ARCHIVE_OK) {
        error = QString::fromLocal8Bit(archive_error_string(reader));
        return -1;
    }
    if (offset != expected) {
        error = QStringLiteral("unexpected data offset");
        return -1;
    }
    expected += la_int64_t(*size);
    *data = static_cast<const char *>(block);
    return 1;
}

quint64 ArchiveItemData::packetPosition() const
{
    return quint64(archive_filter_bytes(reader, -1));
}

} // namespace Lib7z
