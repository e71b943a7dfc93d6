// libFuzzer target: any bytes as a packet must be read (index and LZMA2 data)
// to a clean acceptance, refusal or data error, never a crash, a hang or a
// sanitizer report.
#include "Lzma2Decoder.h"
#include "SevenZipIndex.h"

#include <QFile>

#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int fd = ::memfd_create("packet", 0);
    if (fd < 0)
        std::abort();
    if (size > 0 && ::write(fd, data, size) != ssize_t(size))
        std::abort();
    {
        QFile file;
        if (!file.open(fd, QIODevice::ReadOnly))
            std::abort();
        Lib7z::SevenZipIndex index;
        if (index.read(&file)) {
            for (const Lib7z::SevenZipIndex::Folder &folder : index.folders) {
                for (int threads : {1, 2}) {
                    Lib7z::Lzma2Decoder decoder(fd, folder, threads);
                    const char *piece = nullptr;
                    size_t length = 0;
                    while (decoder.next(&piece, &length) > 0) {
                    }
                }
            }
        }
    }
    ::close(fd);
    return 0;
}
