// Downloads one URL into one file with DownloadControl in a process of its own, so a
// test can see the peak memory of the download. Prints "OK <peak KB>" or "ERROR <text>".
//   download_child URL FILE [FSIZE_LIMIT before|after]
// With a limit, files may not grow past FSIZE_LIMIT bytes from before the download
// starts (its file cannot be made full size) or after the start (its writes fail).
#include "DownloadControl.h"

#include <QCoreApplication>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>

namespace {

bool limitFileSize(qint64 bytes)
{
    // Past the limit the write fails with EFBIG instead of the signal ending us.
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = rlim_t(bytes);
    return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3 && args.size() != 5)
        return 2;
    bool ok = true;
    const qint64 limit = args.size() == 5 ? args.at(3).toLongLong(&ok) : -1;
    const QString when = args.value(4);
    if (!ok || (args.size() == 5 && when != QLatin1String("before") && when != QLatin1String("after")))
        return 2;

    DownloadControl control;
    QObject::connect(&control, &DownloadControl::finished, &app, [] {
        struct rusage usage;
        ::getrusage(RUSAGE_SELF, &usage);
        std::printf("OK %ld\n", usage.ru_maxrss);
        QCoreApplication::exit(0);
    });
    QObject::connect(&control, &DownloadControl::error, &app, [](const QString &text, bool) {
        std::printf("ERROR %s\n", text.toUtf8().constData());
        QCoreApplication::exit(1);
    });
    QObject::connect(&control, &DownloadControl::getFileSizeErrorSignal, &app, [](const QString &text) {
        std::printf("ERROR %s\n", text.toUtf8().constData());
        std::fflush(stdout);
    });
    if (when == QLatin1String("before") && !limitFileSize(limit))
        return 3;
    if (!control.downloadFile(args.at(1), args.at(2), 2))
        return 1;
    if (when == QLatin1String("after") && !limitFileSize(limit))
        return 3;
    return app.exec();
}
