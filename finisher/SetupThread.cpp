#include "SetupThread.h"

#include "Attempts.h"
#include "DataPaths.h"
#include "FileUtils.h"
#include "Logging.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

// The parent of a standard location: the user's directory rather than the program's own.
QString parentOf(QStandardPaths::StandardLocation location)
{
    const QString path = QStandardPaths::writableLocation(location);
    return QFileInfo(QDir(path).absolutePath() + QStringLiteral("/../")).absolutePath();
}

} // namespace

SetupThread::SetupThread(const QString &installPath, const QString &updatePath, QObject *parent)
    : QThread(parent), installPath(installPath), updatePath(updatePath)
{
    backupPath = QStringLiteral("%1/Contents/backup").arg(installPath);
    cachePath = QStringLiteral("%1/Veltora").arg(QDir::cleanPath(parentOf(QStandardPaths::CacheLocation)));
    dataPath = DataPaths::dataDirectory();
    updateDir = DataPaths::updateDirectory();
    connect(this, &SetupThread::setupOneFailedSignal, this, &SetupThread::mainControl);
    // Read before the staged files can replace the key file.
    if (!InstallSteps::trustedKey(installContext(), &m_releaseKey, &m_releaseKeyError) && m_releaseKeyError.isEmpty())
        m_releaseKeyError = QStringLiteral("the installed release key is unusable");
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
    if (!InstallSteps::isBundle(installPath)) {
        qDebug() << "Refusing to install into" << installPath << ": it holds no Contents/MacOS";
        emit setupFailedSignal();
        return false;
    }
    // A release that only deletes files or edits settings stages an empty folder.
    if (!QFileInfo(updatePath).isDir()
        || (!InstallSteps::hasStagedFiles(updatePath) && !InstallSteps::hasListedChanges(installContext()))) {
        qDebug() << "Refusing to install: the staging folder" << updatePath << "is missing or empty";
        emit setupFailedSignal();
        return false;
    }
    return true;
}

void SetupThread::install()
{
    const InstallSteps::Context context = installContext();
    if (!m_begun) {
        // Refused before anything is copied: the installation stays as it is.
        if (!manifestTrusted(context.manifest)) {
            emit setupFailedSignal();
            return;
        }
        // Before the bundle's first change: the record of this install (the updater
        // backed up everything it will overwrite or remove).
        getAddAndDelFiles(context.manifest, version);
        QString error;
        if (!InstallSteps::begin(context, handOff(), &m_journal, &error)) {
            qDebug() << "Could not prepare the install:" << error;
            emit setupFailedSignal();
            return;
        }
        m_begun = true;
    }
    if (!InstallSteps::overlay(updatePath, installPath)) {
        ++retryCount;
        emit setupOneFailedSignal();
        return;
    }
    qDebug() << "copy updateFiles to installFiles success";
    InstallSteps::complete(context, deleteFiles, &m_journal);
    emit setupSuccessSignal();
}

HandOff SetupThread::handOff() const
{
    return {installPath, updatePath, logFileName, configFileName, version};
}

InstallSteps::Context SetupThread::installContext() const
{
    InstallSteps::Context context = InstallSteps::contextFor(handOff());
    context.backupPath = backupPath;
    context.updateDir = updateDir;
    context.cachePath = cachePath;
    context.dataPath = dataPath;
    context.manifest = updateDir + QLatin1Char('/') + configFileName;
    return context;
}

void SetupThread::recover()
{
    const QString manifest = updateDir + QLatin1Char('/') + configFileName;
    if (!m_listsRead && manifestTrusted(manifest))
        getAddAndDelFiles(manifest, version);
    // Puts back every file the install overwrote or removed and takes away what it added.
    if (!InstallSteps::restore(installContext(), m_journal.added, addFiles)) {
        qDebug() << "recover fail";
        emit setupFailedSignal();
        return;
    }
    qDebug() << " recover success";
    emit setupFailedSignal();
}

bool SetupThread::manifestTrusted(const QString &manifest)
{
    InstallSteps::Context context = installContext();
    context.manifest = manifest;
    QString error = m_releaseKeyError;
    if (error.isEmpty() && InstallSteps::manifestTrusted(m_releaseKey, context, &error)) {
        if (!m_releaseKey.isNull())
            qDebug() << "Update signature verified";
        return true;
    }
    qDebug().noquote() << QStringLiteral("Update refused: ") + error;
    return false;
}

void SetupThread::getAddAndDelFiles(const QString &configFile, const QString &versionKey)
{
    if (InstallSteps::readLists(configFile, versionKey, &deleteFiles, &addFiles))
        m_listsRead = true;
}

void SetupThread::modifyVeltoraSettings(const QString &configFile)
{
    InstallSteps::applySettingsEdits(configFile, dataPath);
}
