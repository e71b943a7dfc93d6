// Runs one file utility in a process of its own, so that a test can run it as an
// unprivileged user and meet real permission refusals even when the suite runs as root.
// Prints every log message as "LOG <message>" and the result as "RESULT <value>".
#include "FileUtils.h"
#include "SafePath.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <cstdio>

static void printMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    std::printf("LOG %s\n", message.toUtf8().constData());
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(printMessage);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 3)
        return 2;
    const QString command = args.at(1);
    QByteArray result;
    if (command == QLatin1String("copyFile") && args.size() == 4)
        result = copyFile(args.at(2), args.at(3)) ? "true" : "false";
    else if (command == QLatin1String("copyDirectoryFiles") && args.size() == 4)
        result = copyDirectoryFiles(args.at(2), args.at(3)) ? "true" : "false";
    else if (command == QLatin1String("deleteDirectory"))
        result = FileUtils::deleteDirectory(args.at(2)) ? "true" : "false";
    else if (command == QLatin1String("md5"))
        result = getLocalFileMd5Value(args.at(2));
    else if (command == QLatin1String("chmodBeneath") && args.size() == 5) {
        QString error;
        result = SafePath::chmodBeneath(args.at(2), args.at(3), mode_t(args.at(4).toUInt(nullptr, 8)), &error) ? "true" : "false";
    } else if (command == QLatin1String("canRemove")) // probes that a refusal is real
        result = QFile::remove(args.at(2)) ? "true" : "false";
    else
        return 2;
    std::printf("RESULT %s\n", result.constData());
    return 0;
}
