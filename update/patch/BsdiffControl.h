#ifndef VELTORA_BSDIFFCONTROL_H
#define VELTORA_BSDIFFCONTROL_H

#include "filePatchInfo.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

// Rebuilds the files of a partial update from the installed copies and their
// BSDIFF40 patches, checking every result against the manifest's digest.
// The caller fills the four members, then calls bspatchControl(), which ends in
// exactly one of the two signals before it returns.
class BsdiffControl : public QObject
{
    Q_OBJECT

public:
    explicit BsdiffControl(QObject *parent = nullptr);

    void bspatchControl();
    QByteArray getLocalFileMd5Value(const QString &path);

    QMap<QString, filePatchInfo> patchList;
    QString sourceDirectory;
    QString patchDirectory;
    QString outputDirectory;

signals:
    void bsdiffSuccessSignal();
    void bsdiffFailSignal(const QString &message);
};

#endif
