#ifndef VELTORA_RELEASEPROGRESS_H
#define VELTORA_RELEASEPROGRESS_H

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

// The release tool's progress on standard error: on a terminal one line per phase
// that is rewritten in place; otherwise plain lines, one per tenth of a phase;
// nothing when quiet. Notes (files shipped whole and why) are always printed.
class ReleaseProgress
{
public:
    enum Mode { Quiet, Lines, Terminal };

    explicit ReleaseProgress(Mode mode, std::FILE *out = stderr) : m_mode(mode), m_out(out) {}
    ReleaseProgress(const ReleaseProgress &) = delete;
    ReleaseProgress &operator=(const ReleaseProgress &) = delete;
    ~ReleaseProgress() { end(); }

    // Quiet wins; otherwise a terminal on standard error gets the updating line.
    static Mode modeFor(bool quiet, int fileDescriptor = 2);

    // Starts a phase of `total` steps (files, bytes) named `phase`.
    void begin(const QString &phase, qint64 total);
    // `done` of the phase's steps are done; `detail` says it for people ("3/40 files, 12 MB").
    void update(qint64 done, const QString &detail);
    void end();
    void note(const QString &line);

    // Whether a plain-line report prints at `done`: at the start, at the end and
    // whenever another tenth of `total` is passed since `printed`.
    static bool printsAt(qint64 printed, qint64 done, qint64 total);
    static QString megabytes(qint64 bytes);

private:
    void write(const QString &text);

    Mode m_mode;
    std::FILE *m_out;
    QString m_phase;
    qint64 m_total = 0;
    qint64 m_printed = -1;
    bool m_open = false;
    QElapsedTimer m_sinceDraw;
};

#endif
