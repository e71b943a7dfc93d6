// Shows the update window and sends it one final message or the request to quit,
// as the controller would:
//   updatewidget_child upload|no-upload|exit LOG-FILE-NAME
// A message ends the process inside showMessageBox with status 255; the request
// to quit ends the event loop, and this program then ends with status 0.
#include "DialogShowReporter.h"
#include "UpdateWidget.h"

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
    UpdateWidget window;
    window.logFileName = QString::fromLocal8Bit(argv[2]);
    window.show();
    QTimer::singleShot(0, &window, [&window, path] {
        if (path == "exit")
            window.closeAppSlot();
        else
            window.showMessageBox(QStringLiteral("Update error"), path == "upload");
    });
    return app.exec();
}
