#ifndef VELTORA_WHOLEUPDATE_H
#define VELTORA_WHOLEUPDATE_H

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QProcess;

class TestHome;

// One update as the application starts it: a bundle copied into a fresh home as
// "Applications/Veltora Test.app", its updater run against a manifest address, and
// the wait until every program of that bundle has ended (the setup program runs on
// after the updater).
namespace WholeUpdate {

struct Result
{
    int updateExit = -1;       // -1 also when the updater did not end in time
    bool updateCrashed = false;
    QString updateErrors;      // what the updater wrote to its standard error (sanitizer reports)
    QString install;
    QStringList log;           // the one log both programs write, line by line
};

struct Options
{
    QString version = QStringLiteral("1.0");
    quint16 proxyPort = 0;     // the vendor's log-upload host is reached through it
    QString proxyUrl;          // else: http_proxy for every address, loopback too (a cache under test)
    // Runs on the installed copy before the updater starts.
    std::function<void(const QString &install)> prepare;
};

// An updater started and not yet waited for.
struct Launch
{
    std::unique_ptr<QProcess> update;
    QString desktop; // where the log is written
    Result result;
};

Result run(TestHome &home, const QString &bundle, const QString &manifestUrl, const Options &options);
// run() in two halves, for many updaters at once: start returns as soon as the
// updater runs; finish waits at most `timeoutMs` for it and its setup program.
std::unique_ptr<Launch> start(TestHome &home, const QString &bundle, const QString &manifestUrl, const Options &options);
Result finish(Launch &launch, int timeoutMs = 300000);

} // namespace WholeUpdate

#endif
