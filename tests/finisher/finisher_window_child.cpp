// Shows the setup window and drives one of its final paths, as the worker would:
//   finisher_window_child failed|message|succeeded LOG-FILE-NAME
// A failure or a message ends the process inside the slot with status 255; success
// quits the event loop, and this program then ends with status 0.
#include "DialogShowReporter.h"
#include "Finisher.h"

#include <QApplication>
#include <QNetworkProxyFactory>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 3)
        return 2;
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    const QByteArray path = argv[1];
    DialogShowReporter reporter;
    Finisher window;
    window.logFileName = QString::fromLocal8Bit(argv[2]);
    window.show();
    QTimer::singleShot(0, &window, [&window, path] {
        if (path == "failed")
            window.setupFailedSlot();
        else if (path == "succeeded")
            window.setupSuccessSlot();
        else
            window.showMessageBox(QStringLiteral("worker says no"));
    });
    return app.exec();
}
