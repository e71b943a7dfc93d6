#include "ReleaseProgress.h"

#include <unistd.h>

namespace {
// A terminal line is redrawn at most this often, and always at a phase's end.
const qint64 redrawMilliseconds = 100;
}

ReleaseProgress::Mode ReleaseProgress::modeFor(bool quiet, int fileDescriptor)
{
    if (quiet)
        return Quiet;
    return ::isatty(fileDescriptor) ? Terminal : Lines;
}

bool ReleaseProgress::printsAt(qint64 printed, qint64 done, qint64 total)
{
    if (printed < 0 || done >= total)
        return printed != done;
    if (total <= 0)
        return false;
    return done * 10 / total > printed * 10 / total;
}

QString ReleaseProgress::megabytes(qint64 bytes)
{
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'f', bytes < 10 * 1024 * 1024 ? 1 : 0) + QStringLiteral(" MB");
}

void ReleaseProgress::begin(const QString &phase, qint64 total)
{
    end();
    m_phase = phase;
    m_total = total;
    m_printed = -1;
    m_sinceDraw.invalidate();
}

void ReleaseProgress::update(qint64 done, const QString &detail)
{
    if (m_mode == Quiet)
        return;
    const QString text = m_phase + QStringLiteral(": ") + detail;
    if (m_mode == Lines) {
        if (printsAt(m_printed, done, m_total)) {
            write(text + QLatin1Char('\n'));
            m_printed = done;
        }
        return;
    }
    if (done < m_total && m_sinceDraw.isValid() && m_sinceDraw.elapsed() < redrawMilliseconds)
        return;
    m_sinceDraw.start();
    // Back to the line's start, then clear what a longer earlier text left.
    write(QStringLiteral("\r") + text + QStringLiteral("\x1b[K"));
    m_open = true;
}

void ReleaseProgress::end()
{
    if (m_open)
        write(QStringLiteral("\n"));
    m_open = false;
}

void ReleaseProgress::note(const QString &line)
{
    end();
    write(QStringLiteral("veltora-release: ") + line + QLatin1Char('\n'));
}

void ReleaseProgress::write(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_out);
    std::fflush(m_out);
}
