// Runs the setup worker in a process of its own, so that a test can run it as an
// unprivileged user and meet real refusals:
//   setupthread_child INSTALL STAGING MANIFEST-NAME VERSION
// Prints every log message as "LOG <message>" and, at the end, "SUCCESS n FAILED m".
#include "SetupThread.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

static void printMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    std::printf("LOG %s\n", message.toUtf8().constData());
    std::fflush(stdout);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 5)
        return 2;
    qInstallMessageHandler(printMessage);
    const QStringList args = QCoreApplication::arguments();
    SetupThread worker(args.at(1), args.at(2));
    worker.configFileName = args.at(3);
    worker.version = args.at(4);
    int success = 0;
    int failed = 0;
    auto finish = [&] {
        // Give any further, wrong signal a moment to show up.
        QTimer::singleShot(300, &app, [&] {
            std::printf("SUCCESS %d FAILED %d RETRIES %d\n", success, failed, worker.retryCount);
            app.quit();
        });
    };
    QObject::connect(&worker, &SetupThread::setupSuccessSignal, &app, [&] { ++success; finish(); });
    QObject::connect(&worker, &SetupThread::setupFailedSignal, &app, [&] { ++failed; finish(); });
    worker.start();
    const int result = app.exec();
    worker.wait();
    return result;
}
