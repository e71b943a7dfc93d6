#include "TextProbePlugin.h"

#include "TextProbeStyle.h"

QStyle *TextProbePlugin::create(const QString &key)
{
    if (key.compare(QLatin1String("textprobe"), Qt::CaseInsensitive) != 0)
        return nullptr;
    return new TextProbeStyle(qEnvironmentVariable("VELTORA_TEXT_PROBE_FILE"));
}
