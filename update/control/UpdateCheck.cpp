#include "UpdateCheck.h"

#include "Logging.h"
#include "UpdateArguments.h"
#include "UpdateControl.h"

#include <QCoreApplication>
#include <QNetworkProxyFactory>

#include <cstdio>

namespace UpdateCheck {

namespace {

// Standard output carries the one answer line: the run's own messages go nowhere.
void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

} // namespace

bool isCheck(const QStringList &arguments)
{
    return arguments.size() == 5 && arguments.at(1) == QLatin1String("--check");
}

int run(const QStringList &arguments)
{
    qInstallMessageHandler(quietMessages);
    QNetworkProxyFactory::setUseSystemConfiguration(true);

    int status = UpdateArguments::CheckFailed;
    QString line = QStringLiteral("error: no answer");
    auto *control = new UpdateControl;
    control->checkOnly = true;
    control->platform = UpdateArguments().platform;
    control->version = arguments.at(2);
    control->updateUrl = control->currentUrl = UpdateArguments::manifestAddress(arguments.at(3));
    control->installPath = removeSpFlag(arguments.at(4));
    QObject::connect(control, &UpdateControl::checkAnsweredSignal, qApp, [&](int answer, const QString &text) {
        status = answer;
        line = text;
        QCoreApplication::quit();
    });
    QObject::connect(control, &UpdateControl::showMessageBoxSignal, qApp, [&](const QString &text) {
        status = UpdateArguments::CheckFailed;
        line = QStringLiteral("error: ") + text;
        QCoreApplication::quit();
    });
    control->mainControlSlot();
    QCoreApplication::exec();
    delete control;
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
    return status;
}

} // namespace UpdateCheck
