#ifndef VELTORA_LZMA2DECODER_H
#define VELTORA_LZMA2DECODER_H

#include "SevenZipIndex.h"

#include <QString>

#include <memory>
#include <vector>

namespace Lib7z {

// Unpacks one LZMA2 folder of a packet and hands out its bytes in order.
// Where the stream restarts its dictionary and coder state at block borders
// (as multi-threaded packers write it), the blocks are decoded on a pool of
// threads that runs ahead of the reader within a window of jobs and bytes, so
// that the reader's file writes overlap the decoding; otherwise one decoder
// streams through it. Memory stays bounded either way.
class Lzma2Decoder
{
public:
    // `windowLimit` bounds the bytes decoded ahead (0: windowBytes(threadCount)).
    Lzma2Decoder(int fileDescriptor, const SevenZipIndex::Folder &folder, int threadCount, quint64 windowLimit = 0);
    ~Lzma2Decoder();

    // The next piece of unpacked bytes: 1 with data, 0 at the folder's end,
    // -1 on damaged data (errorString() tells).
    int next(const char **data, size_t *size);
    QString errorString() const { return error; }
    // Packed bytes of the file read so far, up to the end of this folder's last piece.
    qint64 packedPosition() const { return position; }
    bool isParallel() const { return !jobs.empty(); }
    // Jobs past the one the reader is on that are decoded and waiting.
    int decodedAhead() const;

    // How far the pool may run ahead of the reader, the job the reader is on
    // included: enough that decoding a stretch of well-compressed data overlaps
    // writing out many small files of a stretch that decodes fast, within a
    // memory bound that holds whatever the core count.
    static quint64 windowBytes(int threads);

    struct Job
    {
        qint64 packOffset = 0;
        qint64 packSize = 0;
        quint64 unpackSize = 0;
    };

private:
    struct Pool;
    bool scan();
    int nextSequential(const char **data, size_t *size);
    int nextParallel(const char **data, size_t *size);
    bool fail(const QString &why);

    int fd;
    SevenZipIndex::Folder folder;
    int threads;
    quint64 window;
    QString error;
    qint64 position = 0;
    bool failed = false;

    // Parallel decoding
    std::vector<Job> jobs;
    std::unique_ptr<Pool> pool;

    // Sequential decoding
    struct Stream;
    Stream *stream = nullptr;
    quint64 produced = 0;
};

} // namespace Lib7z

#endif
