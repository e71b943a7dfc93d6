#ifndef VELTORA_FILEPATCHINFO_H
#define VELTORA_FILEPATCHINFO_H

#include <QByteArray>
#include <QString>

// One patched file of a partial update, keyed in the patch list by its path
// relative to the installed bundle.
struct filePatchInfo
{
    QByteArray oldFileMd5;
    QByteArray newFileMd5;
    QString filePatch;
};

#endif
