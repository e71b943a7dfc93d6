#include "Lzma2Decoder.h"

#include <QCoreApplication>

#include <lzma.h>

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <map>
#include <sys/mman.h>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
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

// A run of chunks from one dictionary reset to the next (or to the end).
struct Span
{
    size_t end = 0;        // offset of the next span's first chunk
    size_t unpacked = 0;
    bool storedOnly = true;
};

bool resetsDictionary(uint8_t control)
{
    return control == 1 || control >= 0xe0;
}

// Walks the chunk headers of the span starting at `at`; false when they do not
// fit the job's bytes (the packet changed since it was scanned, or lies).
bool nextSpan(const uint8_t *in, size_t end, size_t at, Span *span)
{
    if (!resetsDictionary(in[at]))
        return false;
    size_t chunk = at;
    do {
        const uint8_t control = in[chunk];
        size_t length = 0;
        size_t unpacked = 0;
        if (control == 1 || control == 2) {
            if (end - chunk < 3)
                return false;
            unpacked = (size_t(in[chunk + 1]) << 8 | in[chunk + 2]) + 1;
            length = 3 + unpacked;
        } else if (control >= 0x80) {
            const size_t header = control >= 0xc0 ? 6 : 5;
            if (end - chunk < header)
                return false;
            unpacked = (size_t(control & 0x1f) << 16 | size_t(in[chunk + 1]) << 8 | in[chunk + 2]) + 1;
            length = header + (size_t(in[chunk + 3]) << 8 | in[chunk + 4]) + 1;
            span->storedOnly = false;
        } else {
            return false;
        }
        if (length > end - chunk)
            return false;
        chunk += length;
        span->unpacked += unpacked;
    } while (chunk < end && !resetsDictionary(in[chunk]));
    span->end = chunk;
    return true;
}

// A worker decoder's memory: its dictionary, of up to the block size, in huge pages
// where the system grants them. The decoder reaches back into it at random
// distances, and with small pages every such reach is likely a translation miss.
struct HugeAllocator
{
    static const size_t threshold = size_t(2) << 20;
    std::map<void *, size_t> mapped;

    static void *alloc(void *opaque, size_t count, size_t size)
    {
        auto *self = static_cast<HugeAllocator *>(opaque);
        if (size != 0 && count > std::numeric_limits<size_t>::max() / size)
            return nullptr;
        const size_t bytes = count * size;
        if (bytes < threshold)
            return std::malloc(bytes);
        void *p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            return nullptr;
        ::madvise(p, bytes, MADV_HUGEPAGE);
        self->mapped.emplace(p, bytes);
        return p;
    }
    static void free(void *opaque, void *p)
    {
        auto *self = static_cast<HugeAllocator *>(opaque);
        const auto it = self->mapped.find(p);
        if (it == self->mapped.end()) {
            std::free(p);
            return;
        }
        ::munmap(p, it->second);
        self->mapped.erase(it);
    }
};

// One job on a worker thread: its blocks form a stream of their own, closed
// with the end marker the packer wrote only once, at the very end. `stream` is
// the worker's own decoder, set up again per job: liblzma keeps its dictionary
// when the size stays, so the pool does not map fresh memory for every job.
QString decodeJob(int fd, const Lzma2Decoder::Job &job, quint32 dictionarySize, lzma_stream *stream,
                  std::unique_ptr<uint8_t[]> *packed, size_t *packedCapacity, char *data)
{
    const size_t packedSize = size_t(job.packSize) + 1;
    if (*packedCapacity < packedSize) {
        packed->reset();
        packed->reset(new (std::nothrow) uint8_t[packedSize]);
        *packedCapacity = *packed ? packedSize : 0;
        if (!*packed)
            return QCoreApplication::translate("Lzma2Decoder", "out of memory");
    }
    if (!readAt(fd, job.packOffset, packed->get(), size_t(job.packSize)))
        return QCoreApplication::translate("Lzma2Decoder", "packet cut short");
    uint8_t *in = packed->get();
    in[packedSize - 1] = 0;
    // The job is cut into spans at every dictionary reset. A span of stored chunks
    // only (what incompressible files become) is copied straight into place; the
    // decoder would copy it twice, into its dictionary and out again, and nothing
    // after the next reset looks back into it.
    const size_t end = size_t(job.packSize);
    const size_t unpackSize = size_t(job.unpackSize);
    size_t at = 0;
    size_t out = 0;
    while (at < end) {
        Span span;
        if (!nextSpan(in, end, at, &span) || span.unpacked > unpackSize - out)
            return damaged();
        if (span.storedOnly) {
            for (size_t chunk = at; chunk < span.end;) {
                const size_t size = (size_t(in[chunk + 1]) << 8 | in[chunk + 2]) + 1;
                std::memcpy(data + out, in + chunk + 3, size);
                out += size;
                chunk += 3 + size;
            }
            at = span.end;
            continue;
        }
        // The decoder sees the span as a stream of its own, closed by an end marker
        // put in for the moment where the next span's first chunk begins.
        const uint8_t saved = in[span.end];
        in[span.end] = 0;
        if (!startDecoder(stream, dictionarySize)) {
            in[span.end] = saved;
            return QCoreApplication::translate("Lzma2Decoder", "out of memory");
        }
        stream->next_in = in + at;
        stream->avail_in = span.end - at + 1;
        stream->next_out = reinterpret_cast<uint8_t *>(data + out);
        stream->avail_out = span.unpacked;
        const lzma_ret ret = lzma_code(stream, LZMA_FINISH);
        in[span.end] = saved;
        if (ret != LZMA_STREAM_END || stream->avail_out != 0 || stream->avail_in != 0)
            return damaged();
        out += span.unpacked;
        at = span.end;
    }
    return out == unpackSize ? QString() : damaged();
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

quint64 Lzma2Decoder::windowBytes(int threads)
{
    // 12 MB a core: a block of 8 MB per worker plus the reader's. Larger windows
    // measured no faster on two cores and cost cache misses and page faults.
    return qBound(quint64(16) << 20, quint64(qMax(1, threads)) * (quint64(12) << 20), quint64(32) << 20);
}

// The parallel road: a fixed set of workers, each with its own decoder and input
// buffer, claims jobs in folder order into a ring of slots; the reader takes the
// slots in the same order. A worker claims the next job only while the window
// (jobs and unpacked bytes ahead of the reader) has room, which bounds memory
// whatever the reader's pace.
struct Lzma2Decoder::Pool
{
    struct Buffer
    {
        std::unique_ptr<char[]> data;   // not zero-filled: the decoder writes every byte
        size_t capacity = 0;
    };
    struct Slot
    {
        Buffer buffer;
        size_t size = 0;
        bool ready = false;
        QString error;
    };

    // Jobs are of jobTarget or more but the last, so the window holds no more
    // than its share of them, plus the one running over it.
    Pool(int fd, const std::vector<Job> &jobs, quint32 dictionarySize, int threads, quint64 window)
        : fd(fd), jobs(jobs), dictionarySize(dictionarySize), ring(size_t(window / jobTarget) + 2), window(window)
    {
        for (int i = 0; i < threads; ++i)
            workers.emplace_back([this] { work(); });
    }

    ~Pool()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        roomToClaim.notify_all();
        for (std::thread &worker : workers)
            worker.join();
    }

    Slot &slot(size_t job) { return ring[job % ring.size()]; }

    // A buffer a released job left that holds `size`, or an empty one to be
    // allocated; spares that do not fit are dropped while all buffers together
    // would exceed the window. Called with the lock held.
    Buffer spareFor(size_t size)
    {
        for (size_t i = 0; i < spare.size(); ++i) {
            if (spare[i].capacity >= size) {
                Buffer found = std::move(spare[i]);
                spare.erase(spare.begin() + qint64(i));
                retained -= found.capacity;
                return found;
            }
        }
        while (!spare.empty() && retained + size > window) {
            retained -= spare.back().capacity;
            spare.pop_back();
        }
        return Buffer();
    }

    // Called with the lock held.
    bool mayClaim() const
    {
        if (claimed == jobs.size())
            return false;
        if (claimed == taken)   // the reader waits for this one
            return true;
        return claimed - taken < ring.size() && bytesAhead + jobs[claimed].unpackSize <= window;
    }

    void work()
    {
        HugeAllocator huge;
        const lzma_allocator allocator = {&HugeAllocator::alloc, &HugeAllocator::free, &huge};
        lzma_stream stream = LZMA_STREAM_INIT;
        stream.allocator = &allocator;
        std::unique_ptr<uint8_t[]> packed;
        size_t packedCapacity = 0;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            roomToClaim.wait(lock, [this] { return stopping || mayClaim(); });
            if (stopping)
                break;
            const size_t index = claimed++;
            const Job &job = jobs[index];
            bytesAhead += job.unpackSize;
            Slot &s = slot(index);
            const size_t size = size_t(job.unpackSize);
            s.buffer = spareFor(size);
            lock.unlock();
            QString error;
            if (s.buffer.capacity < size) {
                s.buffer.data.reset(new (std::nothrow) char[size]);
                s.buffer.capacity = s.buffer.data ? size : 0;
            }
            if (!s.buffer.data)
                error = QCoreApplication::translate("Lzma2Decoder", "out of memory");
            else
                error = decodeJob(fd, job, dictionarySize, &stream, &packed, &packedCapacity, s.buffer.data.get());
            lock.lock();
            retained += s.buffer.capacity;
            s.size = size;
            s.error = error;
            s.ready = true;
            if (index == taken)
                readyToTake.notify_one();
        }
        lock.unlock();
        lzma_end(&stream);
    }

    // Waits for the next job in order; the slot stays the reader's until release().
    Slot &take()
    {
        std::unique_lock<std::mutex> lock(mutex);
        Slot &s = slot(taken);
        readyToTake.wait(lock, [&s] { return s.ready; });
        return s;
    }

    void release()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            Slot &s = slot(taken);
            s.ready = false;
            retained -= s.buffer.capacity;
            spare.push_back(std::move(s.buffer));
            s.buffer = Buffer();
            retained += spare.back().capacity;
            bytesAhead -= jobs[taken].unpackSize;
            ++taken;
        }
        roomToClaim.notify_all();
    }

    const int fd;
    const std::vector<Job> &jobs;
    const quint32 dictionarySize;
    std::vector<Slot> ring;
    const quint64 window;
    std::vector<std::thread> workers;

    std::mutex mutex;
    std::condition_variable roomToClaim;
    std::condition_variable readyToTake;
    size_t claimed = 0;   // jobs handed to workers
    size_t taken = 0;     // jobs the reader has finished with, or is on
    quint64 bytesAhead = 0;
    std::vector<Buffer> spare;
    quint64 retained = 0;   // capacity of the buffers in slots and spares
    bool stopping = false;
    bool holding = false; // the reader is on slot(taken)
};

Lzma2Decoder::Lzma2Decoder(int fileDescriptor, const SevenZipIndex::Folder &folder, int threadCount, quint64 windowLimit)
    : fd(fileDescriptor)
    , folder(folder)
    , threads(qMax(1, threadCount))
    , window(windowLimit > 0 ? windowLimit : windowBytes(threads))
    , position(folder.packOffset)
{
    if (!scan())
        return;
    if (isParallel()) {
        pool = std::make_unique<Pool>(fd, jobs, folder.dictionarySize, threads, window);
        return;
    }
    stream = new Stream(folder);
    if (!startDecoder(&stream->lzma, folder.dictionarySize))
        fail(QCoreApplication::translate("Lzma2Decoder", "out of memory"));
}

Lzma2Decoder::~Lzma2Decoder()
{
    pool.reset();   // waits for the workers
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

int Lzma2Decoder::decodedAhead() const
{
    if (!pool)
        return 0;
    std::lock_guard<std::mutex> lock(pool->mutex);
    int ready = 0;
    for (size_t job = pool->taken + 1; job < pool->claimed; ++job)
        ready += pool->slot(job).ready ? 1 : 0;
    return ready;
}

int Lzma2Decoder::next(const char **data, size_t *size)
{
    if (failed)
        return -1;
    return isParallel() ? nextParallel(data, size) : nextSequential(data, size);
}

int Lzma2Decoder::nextParallel(const char **data, size_t *size)
{
    if (pool->holding) {
        pool->release();
        pool->holding = false;
    }
    if (pool->taken == jobs.size())
        return 0;
    Pool::Slot &slot = pool->take();
    pool->holding = true;
    if (!slot.error.isEmpty()) {
        fail(slot.error);
        return -1;
    }
    position = jobs[pool->taken].packOffset + jobs[pool->taken].packSize;
    *data = slot.buffer.data.get();
    *size = slot.size;
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
