#include "BundleLayout.h"
#include "DataPaths.h"
#include "Finisher.h"
#include "HandOff.h"
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

    HandOff handOff;
    if (!HandOff::fromArguments(QCoreApplication::arguments().mid(1), &handOff))
        return -1;

    // Users behind a proxy can upload the log too (http_proxy, no_proxy).
    QNetworkProxyFactory::setUseSystemConfiguration(true);

    Finisher window;
    window.show();
    window.installPath = handOff.installPath;
    window.updatePath = handOff.stagingPath;
    logFileName = handOff.logFileName;
    window.configFileName = handOff.configFileName;
    window.version = handOff.version;

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
    window.logFileName = logFileName;
    // An earlier install that was cut short is finished or undone before this one starts;
    // when neither works, its backup and record stay for the next start and nothing new begins.
    if (InstallRecovery::run(window.installPath) == InstallRecovery::Failed) {
        qDebug() << "The setup stops: the interrupted install could be neither finished nor undone";
        window.setupFailedSlot();
        return -1;
    }
    window.startSetup();
    return app.exec();
}
