#include "TextProbe.h"

#include <QFile>

namespace TextProbe {

void enable(QProcessEnvironment *env, const QString &recordPath)
{
    env->insert(QStringLiteral("QT_PLUGIN_PATH"), QStringLiteral(VELTORA_TEXT_PROBE_PLUGIN_PATH));
    env->insert(QStringLiteral("QT_STYLE_OVERRIDE"), QStringLiteral("textprobe"));
    env->insert(QStringLiteral("VELTORA_TEXT_PROBE_FILE"), recordPath);
}

QList<DrawnText> read(const QString &recordPath)
{
    QFile file(recordPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<DrawnText> drawn;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const int tab = line.indexOf('\t');
        if (tab > 0)
            drawn << DrawnText{QString::fromUtf8(line.mid(tab + 1)), line.left(tab) == "glyphs"};
    }
    return drawn;
}

} // namespace TextProbe
