// Shows the update window and sends it one final message, as the controller would:
//   updatewidget_child upload|no-upload LOG-FILE-NAME
// The process ends inside showMessageBox with status 255.
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
    const bool upload = qstrcmp(argv[1], "upload") == 0;
    UpdateWidget window;
    window.logFileName = QString::fromLocal8Bit(argv[2]);
    window.show();
    QTimer::singleShot(0, &window, [&window, upload] {
        window.showMessageBox(QStringLiteral("Update error"), upload);
    });
    app.exec();
    return 0; // not reached: the message is final
}
