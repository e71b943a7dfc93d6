#ifndef VELTORA_ITEMDATA_H
#define VELTORA_ITEMDATA_H

#include <QString>
#include <QtGlobal>

#include <cstddef>

namespace Lib7z {

// Where the bytes of the current archive item come from.
class ItemData
{
public:
    virtual ~ItemData() = default;
    // The next piece of the current item: 1 with data, 0 at its end, -1 when the
    // data is damaged or cannot be decoded (errorString() tells).
    virtual int next(const char **data, size_t *size) = 0;
    virtual QString errorString() const = 0;
    // How far into the packet reading has come, for progress.
    virtual quint64 packetPosition() const = 0;
};

} // namespace Lib7z

#endif
