// Unpacks one packet with the updater's Uncompress: bench_extract PACKET TARGET-DIR
#include "Lib7z.h"
#include "Uncompress.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: bench_extract PACKET TARGET-DIR\n");
        return 2;
    }
    Uncompress uncompress;
    uncompress.packetPath = args.at(1);
    uncompress.outputDirectory = args.at(2);
    bool ok = false;
    QObject::connect(&uncompress, &Uncompress::UncompressPacketOKSignal, [&ok] { ok = true; });
    uncompress.UncompressPacket();
    if (!ok)
        std::fprintf(stderr, "%s\n", qPrintable(Lib7z::lastError()));
    return ok ? 0 : 1;
}
