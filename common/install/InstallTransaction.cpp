#include "InstallTransaction.h"

#include "DataPaths.h"
#include "FileUtils.h"
#include "SafePath.h"
#include "ReleaseTrust.h"
#include "SignedManifest.h"
#include "UpdateManifest.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

const QString backupRelative = QStringLiteral("Contents/backup");

InstallSteps::Paths pathsOf(const HandOff &handOff)
{
    InstallSteps::Paths paths;
    paths.installPath = handOff.installPath;
    paths.stagingPath = handOff.stagingPath;
    paths.backupPath = DataPaths::backupDirectory(handOff.installPath);
    paths.updateDir = DataPaths::updateDirectory();
    paths.cachePath = DataPaths::cacheDirectory();
    paths.dataPath = DataPaths::dataDirectory();
    paths.manifestPath = paths.updateDir + QLatin1Char('/') + handOff.configFileName;
    return paths;
}

} // namespace

InstallTransaction::InstallTransaction(const HandOff &handOff) : m_handOff(handOff), m_paths(pathsOf(handOff))
{
}

bool InstallTransaction::interrupted(const QString &installPath)
{
    return !installPath.isEmpty() && InstallJournal::exists(installPath);
}

bool InstallTransaction::readJournal(QString *error)
{
    const QString installPath = m_handOff.installPath;
    const bool readable = m_journal.read(installPath, error);
    m_journal.handOff.installPath = installPath;
    if (readable) {
        m_handOff = m_journal.handOff;
        m_paths = pathsOf(m_handOff);
    }
    return readable;
}

bool InstallTransaction::isBundle() const
{
    return InstallSteps::isBundle(m_paths.installPath);
}

bool InstallTransaction::isStagingFolder(QString *error) const
{
    return InstallSteps::isFolderDirectlyIn(m_paths.updateDir, m_paths.stagingPath, error);
}

bool InstallTransaction::isBackupFolder(QString *error) const
{
    struct stat st;
    if (::lstat(QFile::encodeName(m_paths.backupPath).constData(), &st) != 0 && errno == ENOENT)
        return SafePath::parentIsContained(m_paths.installPath, backupRelative, error);
    const int fd = SafePath::openBeneath(m_paths.installPath, backupRelative, O_DIRECTORY | O_RDONLY, error);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool InstallTransaction::hasWork() const
{
    return InstallSteps::hasStagedFiles(m_paths.stagingPath) || m_manifest.hasListedChanges();
}

bool InstallTransaction::readKey(QString *error)
{
    if (!m_keyRead) {
        m_keyRead = true;
        // Before the staged files can replace the key file: the backup's copy when the
        // install replaces it, else the bundle's.
        if (!ReleaseKey::installed(m_paths.backupPath, &m_key, &m_keyError)
            || (m_key.isNull() && !ReleaseKey::installed(m_paths.installPath, &m_key, &m_keyError))) {
            if (m_keyError.isEmpty())
                m_keyError = QStringLiteral("the installed release key is unusable");
        }
    }
    *error = m_keyError;
    return m_keyError.isEmpty();
}

bool InstallTransaction::verifyManifest(QString *error)
{
    m_manifest = InstallManifest();
    if (!readKey(error))
        return false;
    QByteArray bytes;
    if (!m_key.isNull()) {
        // The key the installation reached through the vendor's hand-overs, the sequence and
        // signing time it accepted: the updater recorded them when it took this manifest.
        ReleaseTrust trust;
        QString trustError;
        if (!trust.load(m_paths.dataPath + QLatin1Char('/') + ReleaseTrust::fileName(), &trustError))
            qDebug().noquote() << QStringLiteral("Release trust record unusable, starting afresh: ") + trustError;
        // A cut install is judged by the time it began, so it is finished even after its release expired.
        const QDateTime clock = m_journal.begunAt.isValid() ? m_journal.begunAt : QDateTime::currentDateTimeUtc();
        ReleaseFreshness release;
        if (!trust.verifyManifest(trust.currentKey(m_key), m_paths.manifestPath, QStringLiteral("mac"), m_handOff.version, clock,
                                  &bytes, &release, error))
            return false;
    } else if (!UpdateManifest::readFile(m_paths.manifestPath, &bytes)) {
        qDebug() << "Get add and del files,Open update config failed";
        return true;
    }
    useManifest(bytes);
    return true;
}

void InstallTransaction::useManifest(const QByteArray &bytes)
{
    m_manifest = InstallManifest::parse(bytes, m_handOff.version);
}

void InstallTransaction::applySettingsEdits(const InstallManifest &manifest) const
{
    InstallSteps::applySettingsEdits(manifest, m_paths.dataPath);
}

bool InstallTransaction::prepareBackup()
{
    QString error;
    struct stat st;
    const QByteArray backup = QFile::encodeName(m_paths.backupPath);
    if (::lstat(backup.constData(), &st) == 0) {
        // A link in its place goes as a link: what it points to is not the bundle's.
        const bool removed = S_ISDIR(st.st_mode) ? SafePath::removeTreeBeneath(m_paths.installPath, backupRelative, &error)
                                                 : SafePath::removeBeneath(m_paths.installPath, backupRelative, &error);
        if (!removed)
            qDebug() << "Delete backup path fail";
    }
    if (!QDir().mkpath(m_paths.backupPath))
        qDebug() << "Create backup path fail";
    if (!isBackupFolder(&error)) {
        qDebug() << "Refusing the backup folder" << m_paths.backupPath << ":" << error;
        return false;
    }
    return true;
}

bool InstallTransaction::backUp(const QStringList &patchedFiles, QString *failedEntry)
{
    QString error;
    if (!isBackupFolder(&error)) {
        *failedEntry = backupRelative;
        return false;
    }
    return InstallSteps::backUp(m_paths, patchedFiles, m_manifest.deleteFiles, failedEntry);
}

bool InstallTransaction::begin(QString *error)
{
    m_journal.handOff = m_handOff;
    m_journal.phase = InstallJournal::Copying;
    m_journal.begunAt = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);
    QStringList written;
    InstallSteps::plan(m_paths, &m_journal.added, &written);
    m_journal.written = written;
    return m_journal.write(error);
}

bool InstallTransaction::overlay()
{
    return InstallSteps::overlay(m_paths.stagingPath, m_paths.installPath, m_journal.written ? &*m_journal.written : nullptr);
}

void InstallTransaction::complete(const QString &keepFile)
{
    InstallSteps::removeDeleteList(m_paths, m_manifest.deleteFiles);
    if (m_manifest.read) {
        applySettingsEdits(m_manifest);
    } else {
        qDebug() << m_paths.manifestPath;
        qDebug() << "Get add and del ini key,Open update config failed";
    }
    FileUtils::cleanSuffixFile(m_paths.installPath, QStringLiteral("bak"));

    // The staging folder goes with the update data below; from here on the install
    // can only be completed, never repeated. The files reach the disk before the record says so.
    QString error;
    if (!FileUtils::syncFileSystem(m_paths.installPath, &error) || !FileUtils::syncFileSystem(m_paths.dataPath, &error))
        qDebug() << "Could not flush the installed files:" << error;
    m_journal.phase = InstallJournal::Installed;
    if (!m_journal.write(&error))
        qDebug() << "Could not record the finished install:" << error;
    finishCleanUp(keepFile);
}

void InstallTransaction::finishCleanUp(const QString &keepFile)
{
    InstallSteps::cleanUp(m_paths, keepFile);
    QString error;
    if (!FileUtils::syncFileSystem(m_paths.installPath, &error) || !InstallJournal::remove(m_paths.installPath, &error))
        qDebug() << "Could not remove the install record:" << error;
}

bool InstallTransaction::restore()
{
    QString error;
    if (!isBackupFolder(&error)) {
        qDebug() << "Refusing to restore from" << m_paths.backupPath << ":" << error;
        return false;
    }
    if (!InstallSteps::restore(m_paths, m_journal.added, m_journal.written ? &*m_journal.written : nullptr,
                               m_manifest.addFiles))
        return false;
    if (!FileUtils::syncFileSystem(m_paths.installPath, &error))
        qDebug() << "Could not flush the restored files:" << error;
    if (!InstallJournal::remove(m_paths.installPath, &error))
        qDebug() << "Could not remove the install record:" << error;
    return true;
}
