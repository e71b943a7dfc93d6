#include "TextProbeStyle.h"

#include <QFile>
#include <QFontMetrics>
#include <QPainter>

TextProbeStyle::TextProbeStyle(const QString &recordPath) : m_recordPath(recordPath) {}

void TextProbeStyle::drawItemText(QPainter *painter, const QRect &rect, int flags, const QPalette &palette,
                                  bool enabled, const QString &text, QPalette::ColorRole textRole) const
{
    QProxyStyle::drawItemText(painter, rect, flags, palette, enabled, text, textRole);
    if (text.isEmpty())
        return;
    const QFontMetrics metrics(painter->font());
    bool covered = true;
    for (const uint character : text.toUcs4())
        covered = covered && (QChar::isSpace(character) || metrics.inFontUcs4(character));
    QFile record(m_recordPath);
    if (!record.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    QString line = text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    record.write((covered ? "glyphs\t" : "boxes\t") + line.toUtf8() + '\n');
}
