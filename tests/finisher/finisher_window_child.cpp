// Shows the setup window and drives one of its final paths, as the worker would:
//   finisher_window_child failed|message LOG-FILE-NAME
// The process ends inside the slot with status 255.
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
    const bool failed = qstrcmp(argv[1], "failed") == 0;
    Finisher window;
    window.logFileName = QString::fromLocal8Bit(argv[2]);
    window.show();
    QTimer::singleShot(0, &window, [&window, failed] {
        if (failed)
            window.setupFailedSlot();
        else
            window.showMessageBox(QStringLiteral("worker says no"));
    });
    app.exec();
    return 0; // not reached
}
