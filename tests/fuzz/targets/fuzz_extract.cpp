// libFuzzer target over the whole extraction the updater runs: Uncompress with
// the own index reader or the general one below our callbacks, writing into a
// target folder. The oracle is containment: beside the target lies a decoy
// folder, and after every input nothing in it may have changed (kind, mode,
// size, times, content, link text), nothing new may lie beside the two, and the
// outside path the seeds' absolute items name must not have appeared.
#include "Lib7z.h"
#include "Uncompress.h"

#include <QString>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

const char *const outsideProbe = "/tmp/veltora-fuzz-extract-outside";
// Items may claim gigabytes of zeros; the writes fail past this instead of filling the disk.
const rlim_t maxFileSize = rlim_t(64) << 20;

std::string root;    // holds "target" and "decoy", nothing else
std::string target;
std::string decoy;

struct Entry
{
    mode_t mode = 0;
    off_t size = 0;
    struct timespec mtime {};
    struct timespec ctime {};
    std::string content;    // of files and links
    bool operator==(const Entry &o) const
    {
        return mode == o.mode && size == o.size && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec
            && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec && content == o.content;
    }
};
using Tree = std::map<std::string, Entry>;

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "containment broken: %s\n", what.c_str());
    std::abort();
}

std::string readAll(const std::string &path)
{
    std::string out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return "<unreadable>";
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        out.append(buffer, size_t(n));
    ::close(fd);
    return out;
}

// Everything below `path`, links not followed.
void snapshot(const std::string &path, Tree *tree)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return;
    Entry &e = (*tree)[path];
    e.mode = st.st_mode;
    e.size = S_ISDIR(st.st_mode) ? 0 : st.st_size;
    e.mtime = st.st_mtim;
    e.ctime = st.st_ctim;
    if (S_ISREG(st.st_mode)) {
        e.content = readAll(path);
    } else if (S_ISLNK(st.st_mode)) {
        char link[4096];
        const ssize_t n = ::readlink(path.c_str(), link, sizeof link);
        e.content.assign(link, size_t(n > 0 ? n : 0));
    } else if (S_ISDIR(st.st_mode)) {
        DIR *dir = ::opendir(path.c_str());
        if (!dir)
            return;
        while (struct dirent *d = ::readdir(dir)) {
            if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0)
                snapshot(path + "/" + d->d_name, tree);
        }
        ::closedir(dir);
    }
}

// Removes `path` and all below it without following links; folders an input
// locked are opened up first.
void removeTree(const std::string &path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        ::chmod(path.c_str(), 0700);
        if (DIR *dir = ::opendir(path.c_str())) {
            while (struct dirent *d = ::readdir(dir)) {
                if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0)
                    removeTree(path + "/" + d->d_name);
            }
            ::closedir(dir);
        }
        if (::rmdir(path.c_str()) != 0)
            fail("cannot clean " + path + ": " + std::strerror(errno));
    } else if (::unlink(path.c_str()) != 0) {
        fail("cannot clean " + path + ": " + std::strerror(errno));
    }
}

void writeFile(const std::string &path, const std::string &content, mode_t mode)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, content.data(), content.size()) != ssize_t(content.size()))
        std::abort();
    ::fchmod(fd, mode);
    ::close(fd);
}

Tree decoyBefore;
bool probeExisted = false;

bool exists(const char *path)
{
    struct stat st {};
    return ::lstat(path, &st) == 0;
}

void checkContainment()
{
    Tree after;
    snapshot(decoy, &after);
    for (const auto &[path, entry] : decoyBefore) {
        const auto it = after.find(path);
        if (it == after.end())
            fail(path + " is gone");
        if (!(it->second == entry))
            fail(path + " changed");
    }
    for (const auto &[path, entry] : after) {
        if (!decoyBefore.count(path))
            fail(path + " appeared");
    }
    DIR *dir = ::opendir(root.c_str());
    if (!dir)
        fail("cannot list " + root);
    while (struct dirent *d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name != "." && name != ".." && name != "target" && name != "decoy")
            fail(root + "/" + name + " appeared beside the target");
    }
    ::closedir(dir);
    if (exists(outsideProbe) != probeExisted)
        fail(std::string(outsideProbe) + " appeared or went");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // In memory where there is room: inputs of 100,000 items take half as long there.
    char pattern[] = "/dev/shm/fuzz-extract-XXXXXX";
    char fallback[] = "/tmp/fuzz-extract-XXXXXX";
    const char *made = ::mkdtemp(pattern);
    if (!made)
        made = ::mkdtemp(fallback);
    if (!made)
        std::abort();
    root = made;
    target = root + "/target";
    decoy = root + "/decoy";
    ::umask(022);

    // The decoy: files of several modes, a folder, a link, all with old times.
    ::mkdir(decoy.c_str(), 0755);
    ::mkdir((decoy + "/sub").c_str(), 0750);
    writeFile(decoy + "/file.txt", "the user's own file\n", 0644);
    writeFile(decoy + "/program", "#!/bin/sh\n", 0755);
    writeFile(decoy + "/readonly", "keep\n", 0444);
    writeFile(decoy + "/sub/inner.txt", "inner\n", 0600);
    if (::symlink("file.txt", (decoy + "/link").c_str()) != 0)
        std::abort();
    const struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
    for (const char *name : {"/file.txt", "/program", "/readonly", "/sub/inner.txt", "/sub", ""})
        ::lutimes((decoy + name).c_str(), old);
    snapshot(decoy, &decoyBefore);
    probeExisted = exists(outsideProbe);

    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = maxFileSize;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    std::atexit([] { removeTree(root); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int fd = ::memfd_create("packet", MFD_CLOEXEC);
    if (fd < 0)
        std::abort();
    if (size > 0 && ::write(fd, data, size) != ssize_t(size))
        std::abort();
    // The last bit of the size picks the reader, so each input runs once and
    // packets the own reader would read reach the general one too.
    Lib7z::setIndexedReaderEnabled(size % 2 == 0);
    {
        Uncompress uncompress;
        uncompress.packetPath = QStringLiteral("/proc/self/fd/%1").arg(fd);
        uncompress.outputDirectory = QString::fromStdString(target);
        uncompress.UncompressPacket();
    }
    ::close(fd);
    checkContainment();
    removeTree(target);
    return 0;
}
