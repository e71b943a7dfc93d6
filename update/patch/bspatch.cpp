#include "bspatch.h"

#include <bzlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Patches arrive over plain HTTP: every length and offset below is checked, and the
// new file is produced front to back through a few small buffers instead of a buffer
// of the length the header claims, so a lying header cannot make us allocate gigabytes.
// The result goes to a temporary file beside the new file and takes its name only
// when the whole patch has been applied, so a corrupt patch writes nothing.

namespace {

constexpr size_t chunkSize = 1 << 20;

// A failure whose diagnostic has been written.
struct PatchError
{
};

// A corrupt patch; its diagnostic is written where it is caught, after the old file
// has had its say, since the old file is read before any control data.
struct CorruptPatch
{
};

// 8-byte sign-magnitude integer: magnitude in the low 63 bits (little-endian),
// sign in the top bit. "Negative zero" is zero.
int64_t offtin(const unsigned char *buf)
{
    uint64_t magnitude = 0;
    for (int i = 6; i >= 0; --i)
        magnitude = (magnitude << 8) | buf[i];
    magnitude |= uint64_t(buf[7] & 0x7f) << 56;
    const int64_t value = int64_t(magnitude);
    return (buf[7] & 0x80) ? -value : value;
}

[[noreturn]] void corrupt()
{
    throw CorruptPatch();
}

class BlockReader
{
public:
    BlockReader(const char *path, int64_t offset)
    {
        m_file = std::fopen(path, "rb");
        if (!m_file) {
            warn("fopen(%s)", path);
            throw PatchError();
        }
        if (fseeko(m_file, off_t(offset), SEEK_SET) != 0) {
            warn("fseeko(%s, %lld)", path, static_cast<long long>(offset));
            throw PatchError();
        }
        int bzerr = BZ_OK;
        m_bz = BZ2_bzReadOpen(&bzerr, m_file, 0, 0, nullptr, 0);
        if (!m_bz) {
            warnx("BZ2_bzReadOpen, bz2err = %d", bzerr);
            throw PatchError();
        }
    }
    ~BlockReader() { release(); }
    BlockReader(const BlockReader &) = delete;
    BlockReader &operator=(const BlockReader &) = delete;

    // Exactly `length` bytes, or the patch is corrupt.
    void read(unsigned char *out, size_t length)
    {
        while (length > 0) {
            const int want = int(length < chunkSize ? length : chunkSize);
            int bzerr = BZ_OK;
            const int got = BZ2_bzRead(&bzerr, m_bz, out, want);
            if ((bzerr != BZ_OK && bzerr != BZ_STREAM_END) || got != want)
                corrupt();
            out += got;
            length -= size_t(got);
        }
    }

    // Stops the decompressor and closes the handle; false when the close fails.
    bool close(const char *path)
    {
        int bzerr = BZ_OK;
        BZ2_bzReadClose(&bzerr, m_bz);
        m_bz = nullptr;
        const int rc = std::fclose(m_file);
        m_file = nullptr;
        if (rc != 0) {
            warn("fclose(%s)", path);
            return false;
        }
        return true;
    }

private:
    void release()
    {
        int bzerr = BZ_OK;
        if (m_bz)
            BZ2_bzReadClose(&bzerr, m_bz);
        if (m_file)
            std::fclose(m_file);
        m_bz = nullptr;
        m_file = nullptr;
    }

    FILE *m_file = nullptr;
    BZFILE *m_bz = nullptr;
};

// The old file, opened and sized up front; its bytes are read by the writer thread.
class OldFile
{
public:
    explicit OldFile(const char *path) : m_path(path)
    {
        m_fd = ::open(path, O_RDONLY | O_CLOEXEC);
        const off_t size = m_fd >= 0 ? ::lseek(m_fd, 0, SEEK_END) : -1;
        if (size < 0 || ::lseek(m_fd, 0, SEEK_SET) != 0)
            fail(errno);
        // Large pages where the system offers them: faulting in a big file page by
        // page costs more than reading it.
        m_mapped = size_t(size) + 1;
        void *memory = ::mmap(nullptr, m_mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED)
            fail(ENOMEM);
        ::madvise(memory, m_mapped, MADV_HUGEPAGE);
        m_data = static_cast<unsigned char *>(memory);
        m_size = size_t(size);
    }
    ~OldFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (m_data)
            ::munmap(m_data, m_mapped);
    }
    OldFile(const OldFile &) = delete;
    OldFile &operator=(const OldFile &) = delete;

    // Reads the whole file; returns 0 or the error number.
    int load()
    {
        for (size_t done = 0; done < m_size;) {
            const ssize_t n = ::read(m_fd, m_data + done, m_size - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return n == 0 ? EIO : errno; // EIO: the file shrank under us
            done += size_t(n);
        }
        return 0;
    }

    [[noreturn]] void fail(int error) const
    {
        errno = error;
        warn("%s", m_path);
        throw PatchError();
    }

    const unsigned char *data() const { return m_data; }
    size_t size() const { return m_size; }

private:
    const char *m_path;
    int m_fd = -1;
    unsigned char *m_data = nullptr;
    size_t m_mapped = 0;
    size_t m_size = 0;
};

// The new file, written front to back into a temporary file beside it. A failure to
// create or write it is kept and reported when the patch has been read to its end,
// so that a corrupt patch is reported as such whatever the state of the disk.
class NewFile
{
public:
    explicit NewFile(const char *path) : m_path(path)
    {
        static std::atomic<unsigned> counter{0};
        m_temp = m_path + ".bspatch-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
        // 0666 reduced by the process's file-creation mask, as for a plain create.
        m_fd = ::open(m_temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (m_fd < 0)
            m_error = errno;
        m_created = m_fd >= 0;
    }
    ~NewFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (m_created && !m_committed)
            ::unlink(m_temp.c_str());
    }
    NewFile(const NewFile &) = delete;
    NewFile &operator=(const NewFile &) = delete;

    void write(const unsigned char *data, size_t length)
    {
        while (m_error == 0 && length > 0) {
            const ssize_t n = ::write(m_fd, data, length);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                m_error = n == 0 ? EIO : errno;
            else {
                data += n;
                length -= size_t(n);
            }
        }
    }

    void commit()
    {
        if (m_error == 0) {
            const int fd = m_fd;
            m_fd = -1;
            if (::close(fd) != 0 || ::rename(m_temp.c_str(), m_path.c_str()) != 0)
                m_error = errno;
        }
        if (m_error != 0) {
            errno = m_error;
            warn("%s", m_path.c_str());
            throw PatchError();
        }
        m_committed = true;
    }

private:
    std::string m_path;
    std::string m_temp;
    int m_fd = -1;
    int m_error = 0;
    bool m_created = false;
    bool m_committed = false;
};

// Adds the old bytes that lie inside the old file to the diff bytes; positions
// outside it (before its start or past its end) leave the diff byte unchanged.
void addOld(unsigned char *diff, size_t length, const OldFile &old, int64_t oldPos)
{
    const __int128 start = oldPos;
    const __int128 from = start < 0 ? 0 : start;
    const __int128 end = start + __int128(length);
    const __int128 to = end > __int128(old.size()) ? __int128(old.size()) : end;
    if (from >= to)
        return;
    unsigned char *target = diff + size_t(from - start);
    const unsigned char *source = old.data() + size_t(from);
    const size_t count = size_t(to - from);
    for (size_t i = 0; i < count; ++i)
        target[i] = static_cast<unsigned char>(target[i] + source[i]);
}

// Decompression runs on the calling thread; a second thread reads the old file,
// adds the old bytes and writes the result, so disk work overlaps decompression.
class Writer
{
public:
    struct Chunk
    {
        std::vector<unsigned char> bytes;
        size_t length = 0;
        int64_t oldPos = 0;
        bool isDiff = false;
    };

    Writer(OldFile &old, NewFile &out, size_t chunkBytes) : m_old(old), m_out(out)
    {
        for (int i = 0; i < 4; ++i) {
            m_free.emplace_back();
            m_free.back().bytes.resize(chunkBytes);
        }
        m_thread = std::thread([this] { run(); });
    }
    ~Writer() { finish(); }
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    Chunk take()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_free.empty(); });
        Chunk chunk = std::move(m_free.front());
        m_free.pop_front();
        return chunk;
    }

    void submit(Chunk chunk)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ready.push_back(std::move(chunk));
        m_changed.notify_all();
    }

    // Waits for every submitted chunk; returns the old file's read error, if any.
    int finish()
    {
        if (m_thread.joinable()) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_done = true;
                m_changed.notify_all();
            }
            m_thread.join();
        }
        return m_oldError;
    }

private:
    void run()
    {
        m_oldError = m_old.load();
        for (;;) {
            Chunk chunk;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [this] { return m_done || !m_ready.empty(); });
                if (m_ready.empty())
                    return;
                chunk = std::move(m_ready.front());
                m_ready.pop_front();
            }
            if (m_oldError == 0) {
                if (chunk.isDiff)
                    addOld(chunk.bytes.data(), chunk.length, m_old, chunk.oldPos);
                m_out.write(chunk.bytes.data(), chunk.length);
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_free.push_back(std::move(chunk));
            m_changed.notify_all();
        }
    }

    OldFile &m_old;
    NewFile &m_out;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Chunk> m_free;
    std::deque<Chunk> m_ready;
    bool m_done = false;
    int m_oldError = 0;
    std::thread m_thread;
};

// Moves `length` bytes of one block into the writer, chunk by chunk.
void transfer(BlockReader &block, Writer &writer, int64_t length, bool isDiff, int64_t oldPos)
{
    for (int64_t done = 0; done < length;) {
        Writer::Chunk chunk = writer.take();
        chunk.length = size_t(std::min<int64_t>(length - done, int64_t(chunk.bytes.size())));
        chunk.isDiff = isDiff;
        if (isDiff && __builtin_add_overflow(oldPos, done, &chunk.oldPos))
            corrupt();
        block.read(chunk.bytes.data(), chunk.length);
        done += int64_t(chunk.length);
        writer.submit(std::move(chunk));
    }
}

// Runs the control stream; throws PatchError on a corrupt patch.
void decode(BlockReader &ctrl, BlockReader &diff, BlockReader &extra, Writer &writer, int64_t newSize)
{
    int64_t oldPos = 0;
    int64_t newPos = 0;
    while (newPos < newSize) {
        unsigned char triple[24];
        ctrl.read(triple, sizeof triple);
        const int64_t x = offtin(triple);
        const int64_t y = offtin(triple + 8);
        const int64_t z = offtin(triple + 16);
        if (x < 0 || y < 0 || x > newSize - newPos)
            corrupt();
        transfer(diff, writer, x, true, oldPos);
        newPos += x;
        if (__builtin_add_overflow(oldPos, x, &oldPos))
            corrupt();
        if (y > newSize - newPos)
            corrupt();
        transfer(extra, writer, y, false, 0);
        newPos += y;
        if (__builtin_add_overflow(oldPos, z, &oldPos))
            corrupt();
    }
}

int apply(const char *oldfile, const char *newfile, const char *patchfile)
{
    unsigned char header[32];
    {
        FILE *f = std::fopen(patchfile, "rb");
        if (!f) {
            warn("fopen(%s)", patchfile);
            return 1;
        }
        const size_t n = std::fread(header, 1, sizeof header, f);
        const bool readError = n < sizeof header && std::ferror(f);
        if (std::fclose(f) != 0) {
            warn("fclose(%s)", patchfile);
            return 1;
        }
        if (readError) {
            warn("fread(%s)", patchfile);
            return 1;
        }
        if (n < sizeof header)
            corrupt();
    }
    if (std::memcmp(header, "BSDIFF40", 8) != 0)
        corrupt();
    const int64_t ctrlLength = offtin(header + 8);
    const int64_t diffLength = offtin(header + 16);
    const int64_t newSize = offtin(header + 24);
    if (ctrlLength < 0 || diffLength < 0 || newSize < 0)
        corrupt();
    int64_t extraOffset = 0;
    if (ctrlLength > INT64_MAX - 32 || __builtin_add_overflow(int64_t(32) + ctrlLength, diffLength, &extraOffset))
        corrupt();

    BlockReader ctrl(patchfile, 32);
    BlockReader diff(patchfile, 32 + ctrlLength);
    BlockReader extra(patchfile, extraOffset);

    OldFile old(oldfile);
    NewFile out(newfile);
    const size_t chunkBytes = size_t(std::min<int64_t>(newSize, int64_t(chunkSize)));
    {
        Writer writer(old, out, chunkBytes > 0 ? chunkBytes : 1);
        bool corruptPatch = false;
        try {
            decode(ctrl, diff, extra, writer, newSize);
        } catch (const CorruptPatch &) {
            corruptPatch = true;
        }
        // The old file comes first: it is read before any control data is looked at.
        if (const int error = writer.finish())
            old.fail(error);
        if (corruptPatch)
            corrupt();
    }

    // All three are closed, whatever the first ones say.
    const bool ctrlClosed = ctrl.close(patchfile);
    const bool diffClosed = diff.close(patchfile);
    const bool extraClosed = extra.close(patchfile);
    if (!ctrlClosed || !diffClosed || !extraClosed)
        return 1;
    out.commit();
    return 0;
}

} // namespace

int bspatch(const char *oldfile, const char *newfile, const char *patchfile)
{
    try {
        return apply(oldfile, newfile, patchfile);
    } catch (const CorruptPatch &) {
        warnx("Corrupt patch\n");
        return 1;
    } catch (const PatchError &) {
        return 1;
    }
}
