#include "BundleLayout.h"
#include "DataPaths.h"
#include "InstallRecovery.h"
#include "Logging.h"
#include "PlatformCommand.h"
#include "UpdateArguments.h"
#include "UpdateCheck.h"
#include "UpdateControl.h"
#include "UpdateWidget.h"
#include "UserSettings.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QNetworkProxyFactory>
#include <QStandardPaths>
#include <QTextCodec>

#include <cstring>

namespace {

QString getSystemInfo()
{
    return QStringLiteral("mac");
}

void writeBanner(const UpdateArguments &start)
{
    qDebug() << "****************************************************************************";
    qDebug() << "******** userName: " << start.userName;
    qDebug() << "******** VeltoraVersion: " << start.version;
    qDebug() << "******** systemInfo:" << getSystemInfo();
    qDebug() << "****************************************************************************";
    qDebug() << "installPath" << start.installPath;
    qDebug() << "downloadurl" << start.manifestUrl;
}

} // namespace

int main(int argc, char *argv[])
{
    // Inside an installed bundle the plug-ins come from the bundle, not the system.
    BundleLayout::usePluginsBesideExecutable();
    // A host asking whether an update is offered is neither stopped nor shown a window.
    if (argc == 5 && std::strcmp(argv[1], "--check") == 0) {
        QCoreApplication app(argc, argv);
        return UpdateCheck::run(QCoreApplication::arguments());
    }
    QApplication app(argc, argv);

    // Stop the running application before anything else, whatever the arguments.
    runPlatformCommand(QStringLiteral("killall"), {QStringLiteral("Veltora")});

    QTextCodec *utf8 = QTextCodec::codecForName("UTF-8");
    const QStringList arguments = QCoreApplication::arguments();
    if (!UpdateArguments::isValidCount(arguments.size()))
        return -1;

    // Users behind a proxy can update too (http_proxy, no_proxy).
    QNetworkProxyFactory::setUseSystemConfiguration(true);

    UpdateWidget window;
    window.show();

    UpdateArguments start = UpdateArguments::parse(arguments, QDateTime::currentDateTime());
    logFileName = start.logFileName;
    updateAppdataPath = DataPaths::updateDirectory();
    QDir().mkpath(updateAppdataPath);

    QTextCodec::setCodecForLocale(utf8);

    const UserSettings settings = UserSettings::read();
    if (settings.catUpdateLog)
        updateAppdataPath = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);

    installCatalogue(&app, settings.catalogue());
    setLogProgramTag(QStringLiteral("##update##"));
    qInstallMessageHandler(outputMessage);

    start.manifestUrl = UpdateArguments::manifestAddress(start.manifestUrl);
    window.url = start.manifestUrl;
    window.platform = start.platform;
    window.version = start.version;
    window.installPath = start.installPath;
    window.logFileName = start.logFileName;
    window.skipFix = start.skipFix;
    writeBanner(start);

    // An install that was cut short is finished or undone before this run looks at the
    // bundle; when neither works, its backup and record stay and no new install begins.
    if (InstallRecovery::run(start.installPath) == InstallRecovery::Failed) {
        qDebug() << "The update stops: the interrupted install could be neither finished nor undone";
        window.showMessageBox(UpdateControl::finalFailureMessage(), true);
        return -1;
    }

    window.startUpdate();
    return app.exec();
}
