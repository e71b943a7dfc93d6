// Unpacks one packet with Uncompress in a process of its own, so a test can see
// the peak memory of the extraction, and a runaway one ends here instead of in
// the test or the machine. Prints "OK <KB>" or "FAIL <KB> <last error>", where
// KB is the growth of the peak resident size during the extraction.
//   extract_child PACKET TARGET [index]
// With "index" it only reads the packet's index and prints "READ", "DECLINED" or
// "REFUSED" in place of OK and FAIL.
#include "Lib7z.h"
#include "SevenZipIndex.h"
#include "Uncompress.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// Well above what any packet of the tests may take, well below what hurts.
const long runawayKilobytes = 1024 * 1024;

// The peak of this program's own memory: unlike getrusage(), whose figure starts
// at the peak of the process that started us, VmHWM starts afresh at exec.
long peakKilobytes()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmHWM:" && status >> value)
            return value;
        status.ignore(1 << 16, '\n');
    }
    return -1;
}

long residentKilobytes()
{
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const QString mode = args.value(3);
    if (args.size() < 3 || args.size() > 4 || !(mode.isEmpty() || mode == QLatin1String("index")))
        return 2;

    const long before = peakKilobytes();
    // Address-space limits do not work under the address sanitizer; a watch does.
    std::atomic<bool> done{false};
    std::thread watch([&] {
        while (!done) {
            if (residentKilobytes() - before > runawayKilobytes) {
                std::printf("OVER %ld\n", residentKilobytes() - before);
                std::fflush(stdout);
                ::_exit(4);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    if (mode == QLatin1String("index")) {
        QFile file(args.at(1));
        if (!file.open(QIODevice::ReadOnly))
            return 2;
        Lib7z::SevenZipIndex index;
        index.read(&file);
        done = true;
        watch.join();
        const char *outcomes[] = {"READ", "DECLINED", "REFUSED"};
        std::printf("%s %ld %s\n", outcomes[index.outcome()], peakKilobytes() - before, index.declineReason().toUtf8().constData());
        return 0;
    }

    Uncompress uncompress;
    uncompress.packetPath = args.at(1);
    uncompress.outputDirectory = args.at(2);
    bool ok = false;
    QObject::connect(&uncompress, &Uncompress::UncompressPacketOKSignal, [&] { ok = true; });
    uncompress.UncompressPacket();
    done = true;
    watch.join();
    const long grown = peakKilobytes() - before;
    if (ok)
        std::printf("OK %ld\n", grown);
    else
        std::printf("FAIL %ld %s\n", grown, Lib7z::lastError().toUtf8().constData());
    return ok ? 0 : 1;
}
