#ifndef VELTORA_LZMA2DECODER_H
#define VELTORA_LZMA2DECODER_H

#include "SevenZipIndex.h"

#include <QString>

#include <deque>
#include <future>
#include <memory>
#include <vector>

namespace Lib7z {

// Unpacks one LZMA2 folder of a packet and hands out its bytes in order.
// Where the stream restarts its dictionary and coder state at block borders
// (as multi-threaded packers write it), the blocks are decoded on several
// threads ahead of the reader; otherwise one decoder streams through it.
// Memory stays bounded either way.
class Lzma2Decoder
{
public:
    Lzma2Decoder(int fileDescriptor, const SevenZipIndex::Folder &folder, int threads);
    ~Lzma2Decoder();

    // The next piece of unpacked bytes: 1 with data, 0 at the folder's end,
    // -1 on damaged data (errorString() tells).
    int next(const char **data, size_t *size);
    QString errorString() const { return error; }
    // Packed bytes of the file read so far, up to the end of this folder's last piece.
    qint64 packedPosition() const { return position; }
    bool isParallel() const { return !jobs.empty(); }

    struct Job
    {
        qint64 packOffset = 0;
        qint64 packSize = 0;
        quint64 unpackSize = 0;
    };
    // A job's buffers travel with it and come back for the next job, so that
    // decoding does not keep mapping fresh memory.
    struct Buffers
    {
        std::unique_ptr<uint8_t[]> packed;
        size_t packedCapacity = 0;
        std::unique_ptr<char[]> data;   // not zero-filled: the decoder writes every byte
        size_t dataCapacity = 0;
    };
    struct Result
    {
        Buffers buffers;
        size_t size = 0;
        QString error;
    };

private:
    bool scan();
    int nextSequential(const char **data, size_t *size);
    int nextParallel(const char **data, size_t *size);
    void launch();
    bool fail(const QString &why);

    int fd;
    SevenZipIndex::Folder folder;
    int threads;
    QString error;
    qint64 position = 0;
    bool failed = false;

    // Parallel decoding
    std::vector<Job> jobs;
    size_t launched = 0;
    size_t delivered = 0;
    std::deque<std::future<Result>> running;
    Result current;
    std::vector<Buffers> spare;

    // Sequential decoding
    struct Stream;
    Stream *stream = nullptr;
    quint64 produced = 0;
};

} // namespace Lib7z

#endif
