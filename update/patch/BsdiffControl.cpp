#include "BsdiffControl.h"

#include "FileUtils.h"
#include "SafePath.h"
#include "bspatch.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

BsdiffControl::BsdiffControl(QObject *parent) : QObject(parent)
{
}

QByteArray BsdiffControl::getLocalFileMd5Value(const QString &path)
{
    return ::getLocalFileMd5Value(path);
}

void BsdiffControl::bspatchControl()
{
    for (auto it = patchList.constBegin(); it != patchList.constEnd(); ++it) {
        const QString &relative = it.key();
        const filePatchInfo &info = it.value();
        // Entries come from the manifest: nothing may be read or written outside the bundle.
        // Nor through a link that the installation or the packet holds on the way.
        QString refusal;
        if (!FileUtils::isSafeRelativePath(relative) || !FileUtils::isSafeRelativePath(info.filePatch)
            || !SafePath::parentIsContained(sourceDirectory, relative, &refusal)
            || !SafePath::parentIsContained(outputDirectory, relative, &refusal)
            || !SafePath::parentIsContained(patchDirectory, info.filePatch, &refusal)) {
            qDebug() << "Refusing patch entry" << relative << refusal;
            emit bsdiffFailSignal(tr("Refusing patch entry %1").arg(relative));
            return;
        }

        const QString newPath = outputDirectory + QLatin1Char('/') + relative;
        if (QFileInfo::exists(newPath) && getLocalFileMd5Value(newPath) == info.newFileMd5)
            continue;

        const QString oldPath = sourceDirectory + QLatin1Char('/') + relative;
        if (!QFileInfo::exists(oldPath)) {
            emit bsdiffFailSignal(tr("Missing %1").arg(oldPath));
            return;
        }

        const QByteArray oldMd5 = getLocalFileMd5Value(oldPath);
        if (oldMd5 == info.newFileMd5)
            continue;
        if (oldMd5 != info.oldFileMd5) {
            emit bsdiffFailSignal(tr("%1  md5 is not match,file md5 %2,json md5 %3")
                                      .arg(oldPath, QString::fromLatin1(oldMd5), QString::fromLatin1(info.oldFileMd5)));
            return;
        }

        const QString patchPath = patchDirectory + QLatin1Char('/') + info.filePatch;
        if (bspatch(QFile::encodeName(oldPath).constData(), QFile::encodeName(newPath).constData(),
                    QFile::encodeName(patchPath).constData()) != 0) {
            emit bsdiffFailSignal(tr("Faile to patch %1").arg(oldPath));
            return;
        }
        const QByteArray producedMd5 = getLocalFileMd5Value(newPath);
        if (producedMd5 != info.newFileMd5) {
            emit bsdiffFailSignal(tr("Patch ok,but out file(%1) md5 is not match,error md5 is %2")
                                      .arg(newPath, QString::fromLatin1(producedMd5)));
            return;
        }
        QFile::remove(patchPath);
    }
    emit bsdiffSuccessSignal();
}
