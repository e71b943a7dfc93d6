#ifndef VELTORA_TEXTPROBEPLUGIN_H
#define VELTORA_TEXTPROBEPLUGIN_H

#include <QStylePlugin>

// Loaded into a program under test through QT_PLUGIN_PATH and
// QT_STYLE_OVERRIDE=textprobe; records into VELTORA_TEXT_PROBE_FILE.
class TextProbePlugin : public QStylePlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QStyleFactoryInterface" FILE "textprobe.json")

public:
    QStyle *create(const QString &key) override;
};

#endif
