#include "Lzma2Decoder.h"

#include <QCoreApplication>

#include <lzma.h>

#include <cerrno>
#include <unistd.h>

namespace Lib7z {
namespace {

// Blocks are grouped into jobs of about this much unpacked data; a block larger
// than the cap is not buffered whole, and the folder is then streamed instead.
const quint64 jobTarget = quint64(1) << 20;
const quint64 jobCap = quint64(16) << 20;
const size_t streamBuffer = size_t(1) << 20;

QString damaged()
{
    return QCoreApplication::translate("Lzma2Decoder", "damaged LZMA2 data");
}

// Reads exactly `size` bytes at `offset`; false on a short or failed read.
bool readAt(int fd, qint64 offset, void *buffer, size_t size)
{
    char *out = static_cast<char *>(buffer);
    while (size > 0) {
        const ssize_t n = ::pread(fd, out, size, off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        out += n;
        offset += n;
        size -= size_t(n);
    }
    return true;
}

bool startDecoder(lzma_stream *stream, quint32 dictionarySize)
{
    lzma_options_lzma options{};
    options.dict_size = qMax<quint32>(dictionarySize, LZMA_DICT_SIZE_MIN);
    const lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    return lzma_raw_decoder(stream, filters) == LZMA_OK;
}

// One job on a worker thread: its blocks form a stream of their own, closed
// here with the end marker the packer wrote only once, at the very end.
Lzma2Decoder::Result decodeJob(int fd, Lzma2Decoder::Job job, quint32 dictionarySize, Lzma2Decoder::Buffers buffers)
{
    Lzma2Decoder::Result result;
    const size_t packedSize = size_t(job.packSize) + 1;
    if (buffers.packedCapacity < packedSize) {
        buffers.packed.reset(new uint8_t[packedSize]);
        buffers.packedCapacity = packedSize;
    }
    if (buffers.dataCapacity < job.unpackSize) {
        buffers.data.reset(new char[size_t(job.unpackSize)]);
        buffers.dataCapacity = size_t(job.unpackSize);
    }
    result.size = size_t(job.unpackSize);
    uint8_t *packed = buffers.packed.get();
    char *data = buffers.data.get();
    result.buffers = std::move(buffers);
    if (!readAt(fd, job.packOffset, packed, size_t(job.packSize))) {
        result.error = QCoreApplication::translate("Lzma2Decoder", "packet cut short");
        return result;
    }
    packed[packedSize - 1] = 0;
    lzma_stream stream = LZMA_STREAM_INIT;
    if (!startDecoder(&stream, dictionarySize)) {
        result.error = QCoreApplication::translate("Lzma2Decoder", "out of memory");
        return result;
    }
    stream.next_in = packed;
    stream.avail_in = packedSize;
    stream.next_out = reinterpret_cast<uint8_t *>(data);
    stream.avail_out = result.size;
    const lzma_ret ret = lzma_code(&stream, LZMA_FINISH);
    const bool complete = ret == LZMA_STREAM_END && stream.avail_out == 0 && stream.avail_in == 0;
    lzma_end(&stream);
    if (!complete)
        result.error = damaged();
    return result;
}

} // namespace

struct Lzma2Decoder::Stream
{
    // Small folders (one per item in packets that are not solid) get small buffers.
    Stream(const SevenZipIndex::Folder &folder)
        : input(size_t(qMin<qint64>(qint64(streamBuffer), folder.packSize)))
        , output(size_t(qMin<quint64>(streamBuffer, folder.unpackSize)))
        , readAt(folder.packOffset)
    {
    }
    ~Stream() { lzma_end(&lzma); }

    lzma_stream lzma = LZMA_STREAM_INIT;
    std::vector<uint8_t> input;
    std::vector<char> output;
    qint64 readAt = 0;
};

Lzma2Decoder::Lzma2Decoder(int fileDescriptor, const SevenZipIndex::Folder &folder, int threads)
    : fd(fileDescriptor)
    , folder(folder)
    , threads(qMax(1, threads))
    , position(folder.packOffset)
{
    if (!scan())
        return;
    if (isParallel()) {
        launch();
        return;
    }
    stream = new Stream(folder);
    if (!startDecoder(&stream->lzma, folder.dictionarySize))
        fail(QCoreApplication::translate("Lzma2Decoder", "out of memory"));
}

Lzma2Decoder::~Lzma2Decoder()
{
    running.clear();   // waits for the workers
    delete stream;
}

bool Lzma2Decoder::fail(const QString &why)
{
    failed = true;
    if (error.isEmpty())
        error = why;
    return false;
}

// Walks the chunk headers to find where the stream may be cut: at a chunk that
// resets the dictionary, the coder state and its properties, or at a stored
// chunk that resets the dictionary when the next coded chunk brings new
// properties. The walk also checks that the chunks fill the folder exactly.
bool Lzma2Decoder::scan()
{
    struct Point
    {
        qint64 offset;
        quint64 unpacked;
    };
    std::vector<Point> points;
    const qint64 end = folder.packOffset + folder.packSize;
    qint64 at = folder.packOffset;
    quint64 total = 0;
    qint64 pending = -1;
    quint64 pendingUnpacked = 0;
    qint64 dataEnd = end;
    while (at < end) {
        uchar head[6] = {};
        const size_t want = size_t(qMin<qint64>(6, end - at));
        if (!readAt(fd, at, head, want))
            return fail(QCoreApplication::translate("Lzma2Decoder", "packet cut short"));
        const uchar control = head[0];
        if (control == 0) {
            dataEnd = at;
            break;
        }
        qint64 length = 0;
        quint64 unpacked = 0;
        if (control == 1 || control == 2) {
            if (want < 3)
                return fail(damaged());
            unpacked = (quint64(head[1]) << 8 | head[2]) + 1;
            length = 3 + qint64(unpacked);
            if (control == 1) {
                if (pending >= 0)   // only stored chunks since: a valid cut too
                    points.push_back({pending, pendingUnpacked});
                pending = at;
                pendingUnpacked = total;
            }
        } else if (control >= 0x80) {
            const qint64 headerLength = control >= 0xc0 ? 6 : 5;
            if (qint64(want) < headerLength)
                return fail(damaged());
            unpacked = (quint64(control & 0x1f) << 16 | quint64(head[1]) << 8 | head[2]) + 1;
            length = headerLength + (qint64(head[3]) << 8 | head[4]) + 1;
            if (pending >= 0 && control >= 0xc0)
                points.push_back({pending, pendingUnpacked});
            if (control >= 0xe0)
                points.push_back({at, total});
            pending = -1;
        } else {
            return fail(damaged());
        }
        if (length > end - at || unpacked > folder.unpackSize - total)
            return fail(damaged());
        at += length;
        total += unpacked;
        dataEnd = at;
    }
    if (pending >= 0)
        points.push_back({pending, pendingUnpacked});
    if (total != folder.unpackSize)
        return fail(damaged());

    // Without several cut points, or with a block too large to buffer, one decoder streams.
    if (threads < 2 || points.size() < 2 || points.front().offset != folder.packOffset
        || folder.dictionarySize > jobCap)
        return true;
    points.push_back({dataEnd, total});
    std::vector<Job> planned;
    Point start = points.front();
    for (size_t i = 1; i < points.size(); ++i) {
        const Point &p = points[i];
        if (p.unpacked - start.unpacked < jobTarget && i + 1 < points.size())
            continue;
        if (p.unpacked == start.unpacked)
            continue;
        planned.push_back({start.offset, p.offset - start.offset, p.unpacked - start.unpacked});
        if (planned.back().unpackSize > jobCap)
            return true;
        start = p;
    }
    if (planned.size() >= 2)
        jobs = std::move(planned);
    return true;
}

void Lzma2Decoder::launch()
{
    while (launched < jobs.size() && running.size() < size_t(threads)) {
        Buffers buffers;
        if (!spare.empty()) {
            buffers = std::move(spare.back());
            spare.pop_back();
        }
        running.push_back(std::async(std::launch::async, decodeJob, fd, jobs[launched], folder.dictionarySize,
                                     std::move(buffers)));
        ++launched;
    }
}

int Lzma2Decoder::next(const char **data, size_t *size)
{
    if (failed)
        return -1;
    return isParallel() ? nextParallel(data, size) : nextSequential(data, size);
}

int Lzma2Decoder::nextParallel(const char **data, size_t *size)
{
    if (delivered == jobs.size())
        return 0;
    if (current.buffers.data)
        spare.push_back(std::move(current.buffers));
    current = running.front().get();
    running.pop_front();
    if (!current.error.isEmpty()) {
        fail(current.error);
        return -1;
    }
    position = jobs[delivered].packOffset + jobs[delivered].packSize;
    ++delivered;
    launch();
    *data = current.buffers.data.get();
    *size = current.size;
    return 1;
}

int Lzma2Decoder::nextSequential(const char **data, size_t *size)
{
    if (produced == folder.unpackSize)
        return 0;
    const qint64 end = folder.packOffset + folder.packSize;
    lzma_stream &lzma = stream->lzma;
    lzma.next_out = reinterpret_cast<uint8_t *>(stream->output.data());
    lzma.avail_out = size_t(qMin<quint64>(stream->output.size(), folder.unpackSize - produced));
    while (lzma.avail_out > 0) {
        if (lzma.avail_in == 0 && stream->readAt < end) {
            const size_t want = size_t(qMin<qint64>(qint64(stream->input.size()), end - stream->readAt));
            if (!readAt(fd, stream->readAt, stream->input.data(), want)) {
                fail(QCoreApplication::translate("Lzma2Decoder", "packet cut short"));
                return -1;
            }
            stream->readAt += qint64(want);
            lzma.next_in = stream->input.data();
            lzma.avail_in = want;
        }
        const size_t before = lzma.avail_in + lzma.avail_out;
        const lzma_ret ret = lzma_code(&lzma, LZMA_RUN);
        const bool stalled = lzma.avail_in + lzma.avail_out == before && stream->readAt >= end;
        if ((ret != LZMA_OK && ret != LZMA_STREAM_END) || stalled
            || (ret == LZMA_STREAM_END && lzma.avail_out > 0)) {
            fail(damaged());
            return -1;
        }
    }
    const size_t got = size_t(lzma.next_out - reinterpret_cast<uint8_t *>(stream->output.data()));
    produced += got;
    position = stream->readAt - qint64(lzma.avail_in);
    *data = stream->output.data();
    *size = got;
    return 1;
}

} // namespace Lib7z
