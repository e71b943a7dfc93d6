#ifndef VELTORA_TEXTPROBESTYLE_H
#define VELTORA_TEXTPROBESTYLE_H

#include <QProxyStyle>
#include <QString>

// The usual style, except that every text it draws is also appended to a record
// file, together with whether the drawing font (or one of its fallbacks) has a
// glyph for each of its characters. Labels and message boxes draw through here,
// so a test sees what a real program put on its screen.
class TextProbeStyle : public QProxyStyle
{
    Q_OBJECT

public:
    explicit TextProbeStyle(const QString &recordPath);

    void drawItemText(QPainter *painter, const QRect &rect, int flags, const QPalette &palette, bool enabled,
                      const QString &text, QPalette::ColorRole textRole = QPalette::NoRole) const override;

private:
    QString m_recordPath;
};

#endif
