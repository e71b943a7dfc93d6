// Downloads one URL into one file with DownloadControl in a process of its own, so a
// test can see the peak memory of the download. Prints "OK <peak KB>" or "ERROR <text>".
#include "DownloadControl.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <sys/resource.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3)
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
        QCoreApplication::exit(1);
    });
    if (!control.downloadFile(args.at(1), args.at(2), 2))
        return 1;
    return app.exec();
}
