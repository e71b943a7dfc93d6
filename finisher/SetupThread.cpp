#include "SetupThread.h"

#include "Attempts.h"
#include "DataPaths.h"
#include "FileUtils.h"
#include "UpdateManifest.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSettings>
#include <QStandardPaths>

#include <sys/stat.h>

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
    if (!ReleaseKey::installed(installPath, &m_releaseKey, &m_releaseKeyError) && m_releaseKeyError.isEmpty())
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
    cleanSuffixFile(installPath, QStringLiteral("bak"));
    if (retryCount < Attempts::limit)
        install();
    else
        recover();
}

void SetupThread::install()
{
    // Refused before anything is copied: the installation stays as it is.
    if (!manifestTrusted(updateDir + QLatin1Char('/') + configFileName)) {
        emit setupFailedSignal();
        return;
    }
    if (!copyDirectoryFiles(updatePath, installPath)) {
        ++retryCount;
        emit setupOneFailedSignal();
        return;
    }
    qDebug() << "copy updateFiles to installFiles success";
    const QString manifest = updateDir + QLatin1Char('/') + configFileName;
    getAddAndDelFiles(manifest, version);
    for (const QJsonValue &entry : qAsConst(deleteFiles)) {
        const QString relative = entry.toString();
        if (!FileUtils::isSafeRelativePath(relative)) {
            qDebug() << "Skipping a delete entry outside the bundle:" << relative;
            continue;
        }
        copyFile(installPath + QLatin1Char('/') + relative, backupPath + QLatin1Char('/') + relative);
        QFile::remove(installPath + QLatin1Char('/') + relative);
    }
    modifyVeltoraSettings(manifest);
    cleanSuffixFile(installPath, QStringLiteral("bak"));
    DeleteDirectory(updateDir);
    DeleteDirectory(cachePath);
    makeExecutable();
    emit setupSuccessSignal();
}

// "chmod a+x" over every entry of Contents/MacOS, done directly so that no shell
// ever sees the bundle path.
void SetupThread::makeExecutable()
{
    const QFileInfoList entries = QDir(installPath + QStringLiteral("/Contents/MacOS"))
                                      .entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QByteArray path = QFile::encodeName(entry.absoluteFilePath());
        struct stat st;
        if (::stat(path.constData(), &st) == 0)
            ::chmod(path.constData(), (st.st_mode & 07777) | S_IXUSR | S_IXGRP | S_IXOTH);
    }
}

void SetupThread::recover()
{
    if (!copyDirectoryFiles(backupPath, installPath)) {
        qDebug() << "recover fail";
        emit setupFailedSignal();
        return;
    }
    const QString manifest = updateDir + QLatin1Char('/') + configFileName;
    if (!m_listsRead && manifestTrusted(manifest))
        getAddAndDelFiles(manifest, version);
    for (const QJsonValue &entry : qAsConst(addFiles)) {
        if (FileUtils::isSafeRelativePath(entry.toString()))
            QFile::remove(installPath + QLatin1Char('/') + entry.toString());
    }
    cleanSuffixFile(installPath, QStringLiteral("bak"));
    qDebug() << " recover success";
    emit setupFailedSignal();
}

bool SetupThread::manifestTrusted(const QString &manifest)
{
    if (m_releaseKey.isNull() && m_releaseKeyError.isEmpty())
        return true;
    QByteArray bytes;
    QString error = m_releaseKeyError;
    if (!m_releaseKey.isNull() && m_releaseKey.verifyManifest(manifest, &bytes, &error)) {
        qDebug() << "Update signature verified";
        return true;
    }
    qDebug().noquote() << QStringLiteral("Update refused: ") + error;
    return false;
}

void SetupThread::getAddAndDelFiles(const QString &configFile, const QString &versionKey)
{
    QByteArray bytes;
    if (!UpdateManifest::readFile(configFile, &bytes)) {
        qDebug() << "Get add and del files,Open update config failed";
        return;
    }
    QJsonObject platform;
    if (!UpdateManifest::platformSection(bytes, getSystemVersion(), &platform))
        return;
    m_listsRead = true;
    const QJsonObject modify = platform.value(QStringLiteral("partialPacket")).toObject()
                                   .value(versionKey).toObject()
                                   .value(QStringLiteral("modify")).toObject();
    deleteFiles = modify.value(QStringLiteral("delete")).toArray();
    addFiles = modify.value(QStringLiteral("add")).toArray();
}

void SetupThread::modifyVeltoraSettings(const QString &configFile)
{
    QByteArray bytes;
    if (!UpdateManifest::readFile(configFile, &bytes)) {
        qDebug() << configFile;
        qDebug() << "Get add and del ini key,Open update config failed";
        return;
    }
    // A text that is not a JSON object edits nothing.
    QJsonObject platform;
    UpdateManifest::platformSection(bytes, getSystemVersion(), &platform);
    const QJsonObject section = platform.value(QStringLiteral("veltoraSettings")).toObject();
    const QJsonArray deletions = section.value(QStringLiteral("delete")).toArray();
    QMap<QString, QString> additions;
    const QJsonObject add = section.value(QStringLiteral("add")).toObject();
    for (auto it = add.constBegin(); it != add.constEnd(); ++it)
        additions.insert(it.key(), it.value().toString());

    const QString settingsFile = dataPath + QStringLiteral("/settings.ini");
    if (!QFileInfo::exists(settingsFile))
        return;
    QSettings settings(settingsFile, QSettings::IniFormat);
    for (const QJsonValue &entry : deletions) {
        const QString key = entry.toString();
        // An empty key would stand for every key of the file.
        if (key.isEmpty()) {
            qDebug() << "Skipping an empty or non-text settings key to delete";
            continue;
        }
        settings.remove(key);
    }
    for (auto it = additions.constBegin(); it != additions.constEnd(); ++it)
        settings.setValue(it.key(), it.value());
    settings.sync();
}
