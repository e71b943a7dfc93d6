// Drives the file utilities from the command line for the benchmarks:
//   bench_fileutils copy FROM TO      copyDirectoryFiles
//   bench_fileutils md5 FILE          getLocalFileMd5Value
#include "FileUtils.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 4 && args.at(1) == QLatin1String("copy"))
        return copyDirectoryFiles(args.at(2), args.at(3)) ? 0 : 1;
    if (args.size() == 3 && args.at(1) == QLatin1String("md5")) {
        const QByteArray digest = getLocalFileMd5Value(args.at(2));
        std::printf("%s\n", digest.constData());
        return digest.isEmpty() ? 1 : 0;
    }
    std::fprintf(stderr, "usage: bench_fileutils copy FROM TO | md5 FILE\n");
    return 2;
}
