#ifndef VELTORA_FAILURELOG_H
#define VELTORA_FAILURELOG_H

#include <QByteArray>
#include <QString>

// What an uploaded failure log says about its run, read from the lines the updater and
// the setup program write, so that failures can be grouped without reading logs.
struct FailureLog
{
    QString installedVersion; // from the start banner, else from the file name
    QString platform;         // likewise
    QString manifestUrl;      // the banner's manifest address, after its rewriting
    QString road;             // "fix", "partial", "replace", "installer", "setup" or "manifest"
    QString lastError;        // the last line that tells of a failure, without its prefix
    QString finalMessage;     // what the user was shown last, empty when the log does not end on one
    QString reason;           // lastError without the parts that differ from run to run

    // Never fails: what cannot be read stays empty. Control characters are dropped,
    // so every field is plain text whatever the upload held.
    static FailureLog parse(const QString &fileName, const QByteArray &log);
};

#endif
