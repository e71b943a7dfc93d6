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
    QString targetRelease;    // the release the run was installing, from its "targetRelease:" line
    QString rolloutShare;     // that line's share of machines offered it, 0-100 as written

    // Never fails: what cannot be read stays empty. Control characters are dropped,
    // so every field is plain text whatever the upload held.
    static FailureLog parse(const QString &fileName, const QByteArray &log);

    // The text without control characters of any kind (C0, DEL, C1, and the format
    // characters that reorder or hide what a terminal or a page shows), at most `limit` long.
    static QString plainText(const QString &text, int limit = 1000);
};

#endif
