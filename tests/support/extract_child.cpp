// Unpacks one packet with Uncompress in a process of its own, so a test can see
// the peak memory of the extraction, and a runaway one ends here instead of in
// the test or the machine. Prints "OK <KB>" or "FAIL <KB> <last error>", where
// KB is the growth of the peak resident size during the extraction.
//   extract_child PACKET TARGET [general]
// "general" sends every packet the index reader does not refuse to the general one.
#include "Lib7z.h"
#include "Uncompress.h"

#include <QCoreApplication>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

// Well above what any packet of the tests may take, well below what hurts.
const long runawayKilobytes = 1024 * 1024;

long peakKilobytes()
{
    struct rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
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
    if (args.size() != 3 && !(args.size() == 4 && args.at(3) == QLatin1String("general")))
        return 2;
    Lib7z::setIndexedReaderEnabled(args.size() == 3);

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
