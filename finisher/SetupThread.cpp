#include "SetupThread.h"

#include "Attempts.h"
#include "FileUtils.h"
#include "Logging.h"

#include <QDebug>
#include <QFileInfo>

SetupThread::SetupThread(const QString &installPath, const QString &updatePath, QObject *parent)
    : QThread(parent), installPath(installPath), updatePath(updatePath)
{
    const InstallTransaction paths(HandOff{installPath, updatePath, {}, {}, {}});
    backupPath = paths.backupPath();
    cachePath = paths.cachePath();
    dataPath = paths.dataPath();
    updateDir = paths.updateDir();
    connect(this, &SetupThread::setupOneFailedSignal, this, &SetupThread::mainControl);
    qDebug() << "installpath:" << installPath;
    qDebug() << "updatepath:" << updatePath;
    qDebug() << "VeltoraCachePath" << cachePath;
}

void SetupThread::run()
{
    mainControl();
}

void SetupThread::cleanSuffixFile(const QString &dir, const QString &suffix)
{
    FileUtils::cleanSuffixFile(dir, suffix);
}

bool SetupThread::DeleteDirectory(const QString &dir)
{
    return FileUtils::deleteDirectory(dir);
}

QByteArray SetupThread::getLocalFileMd5Value(const QString &path)
{
    return ::getLocalFileMd5Value(path);
}

void SetupThread::mainControl()
{
    // Nothing is touched below a path that is not a bundle, or from an empty staging folder.
    if (retryCount == 0 && !m_begun && !checkStartable())
        return;
    cleanSuffixFile(installPath, QStringLiteral("bak"));
    if (retryCount < Attempts::limit)
        install();
    else
        recover();
}

bool SetupThread::checkStartable()
{
    m_transaction = InstallTransaction(handOff());
    if (!m_transaction.isBundle()) {
        qDebug() << "Refusing to install into" << installPath << ": it holds no Contents/MacOS";
        emit setupFailedSignal();
        return false;
    }
    QString refusal;
    const bool trusted = m_transaction.verifyManifest(&refusal);
    deleteFiles = m_transaction.manifest().deleteFiles;
    addFiles = m_transaction.manifest().addFiles;
    // A release that only deletes files or edits settings stages an empty folder.
    if (!QFileInfo(updatePath).isDir() || !m_transaction.hasWork()) {
        qDebug() << "Refusing to install: the staging folder" << updatePath << "is missing or empty";
        emit setupFailedSignal();
        return false;
    }
    // Refused before anything is copied: the installation stays as it is.
    if (!trusted) {
        qDebug().noquote() << QStringLiteral("Update refused: ") + refusal;
        emit setupFailedSignal();
        return false;
    }
    if (!m_transaction.releaseKey().isNull())
        qDebug() << "Update signature verified";
    return true;
}

void SetupThread::install()
{
    if (!m_begun) {
        // Before the bundle's first change: the record of this install (the updater
        // backed up everything it will overwrite or remove).
        QString error;
        if (!m_transaction.begin(&error)) {
            qDebug() << "Could not prepare the install:" << error;
            emit setupFailedSignal();
            return;
        }
        m_begun = true;
    }
    if (!m_transaction.overlay()) {
        ++retryCount;
        emit setupOneFailedSignal();
        return;
    }
    qDebug() << "copy updateFiles to installFiles success";
    m_transaction.complete();
    emit setupSuccessSignal();
}

HandOff SetupThread::handOff() const
{
    return {installPath, updatePath, logFileName, configFileName, version};
}

void SetupThread::recover()
{
    // Puts back every file the install overwrote or removed and takes away what it added.
    if (!m_transaction.restore()) {
        qDebug() << "recover fail";
        emit setupFailedSignal();
        return;
    }
    qDebug() << " recover success";
    emit setupFailedSignal();
}

void SetupThread::getAddAndDelFiles(const QString &configFile, const QString &versionKey)
{
    const InstallManifest manifest = InstallManifest::readFile(configFile, versionKey);
    if (!manifest.read) {
        qDebug() << "Get add and del files,Open update config failed";
        return;
    }
    if (!manifest.isObject)
        return;
    deleteFiles = manifest.deleteFiles;
    addFiles = manifest.addFiles;
}

void SetupThread::modifyVeltoraSettings(const QString &configFile)
{
    const InstallManifest manifest = InstallManifest::readFile(configFile, version);
    if (!manifest.read) {
        qDebug() << configFile;
        qDebug() << "Get add and del ini key,Open update config failed";
        return;
    }
    InstallTransaction(handOff()).applySettingsEdits(manifest);
}
