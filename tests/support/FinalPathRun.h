#ifndef VELTORA_FINALPATHRUN_H
#define VELTORA_FINALPATHRUN_H

#include "TestHttpServer.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Runs a window program that ends in its final message, the way a failed update
// ends: its log in the default log directory, message boxes accepted after a
// moment, a proxy that records the log upload and a recording xdg-open. The
// program reports each shown box on its standard output (DialogShowReporter).
// With `realDisplay` it runs under xvfb-run, since only a real display can open a
// web page.
namespace FinalPathRun {

struct Result
{
    bool ran = false;
    int exitCode = -1;
    QList<TestHttpServer::Request> uploads;
    QList<QStringList> opened; // what xdg-open was given, one list per call
    QStringList events;        // "upload", "box" and "open" in the order they happened
};

bool realDisplayAvailable();
Result run(const QString &program, const QStringList &arguments, const QByteArray &logContent, bool realDisplay);

} // namespace FinalPathRun

#endif
