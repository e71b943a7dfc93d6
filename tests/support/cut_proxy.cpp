// The cutting relay of CutProxy as a program, for the benchmark:
//   cut_proxy UPSTREAM_PORT CUT_BYTES COUNT_FILE
// prints its port, cuts every connection once CUT_BYTES (-1: never) have been
// relayed to clients, and keeps the relayed total in COUNT_FILE. Runs until killed.
#include "CutProxy.h"

#include <QCoreApplication>
#include <QSaveFile>
#include <QStringList>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    bool portOk = false;
    bool cutOk = false;
    const quint16 upstream = args.value(1).toUShort(&portOk);
    const qint64 cut = args.value(2).toLongLong(&cutOk);
    if (args.size() != 4 || !portOk || !cutOk)
        return 2;
    CutProxy proxy(upstream);
    proxy.cutAt(cut);
    if (!proxy.listen())
        return 1;
    const QString countFile = args.at(3);
    QObject::connect(&proxy, &CutProxy::connectionEnded, &app, [&proxy, countFile] {
        QSaveFile file(countFile);
        if (file.open(QIODevice::WriteOnly)) {
            file.write(QByteArray::number(proxy.bytesToClients()) + '\n');
            file.commit();
        }
    });
    std::printf("%u\n", unsigned(proxy.port()));
    std::fflush(stdout);
    return app.exec();
}
