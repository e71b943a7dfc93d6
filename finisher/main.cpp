#include "BundleLayout.h"
#include "DataPaths.h"
#include "Finisher.h"
#include "InstallRecovery.h"
#include "Logging.h"
#include "PlatformCommand.h"
#include "UserSettings.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QNetworkProxyFactory>
#include <QStandardPaths>

int main(int argc, char *argv[])
{
    // Inside an installed bundle the plug-ins come from the bundle, not the system.
    BundleLayout::usePluginsBesideExecutable();
    QApplication app(argc, argv);

    // Whatever is left of the application and the updater must not hold the files we replace.
    runPlatformCommand(QStringLiteral("killall"), {QStringLiteral("Veltora"), QStringLiteral("update")});

    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 6)
        return -1;

    // Users behind a proxy can upload the log too (http_proxy, no_proxy).
    QNetworkProxyFactory::setUseSystemConfiguration(true);

    Finisher window;
    window.show();
    window.installPath = removeSpFlag(arguments.at(1));
    window.updatePath = removeSpFlag(arguments.at(2));
    logFileName = arguments.at(3);
    window.configFileName = arguments.at(4);
    window.version = arguments.at(5);

    updateAppdataPath = DataPaths::updateDirectory();
    QDir().mkpath(updateAppdataPath);
    const UserSettings settings = UserSettings::read();
    if (settings.catUpdateLog)
        updateAppdataPath = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);

    // Installed after the window was made: texts set while it was constructed stay English.
    installCatalogue(&app, settings.catalogue());
    setLogProgramTag(QStringLiteral("##finisher##"));
    qInstallMessageHandler(outputMessage);
    qDebug() << "start setup";
    // An earlier install that was cut short is finished or undone before this one starts.
    InstallRecovery::run(window.installPath);

    window.logFileName = logFileName;
    window.startSetup();
    return app.exec();
}
