#ifndef VELTORA_TEXTPROBE_H
#define VELTORA_TEXTPROBE_H

#include <QList>
#include <QProcessEnvironment>
#include <QString>

// Lets a test see the texts a child program draws (tests/support/textprobe).
namespace TextProbe {

struct DrawnText
{
    QString text;
    bool hasGlyphs = false; // the drawing font covers every character
};

// Makes a child started with `env` record what it draws into `recordPath`.
void enable(QProcessEnvironment *env, const QString &recordPath);
QList<DrawnText> read(const QString &recordPath);

} // namespace TextProbe

#endif
