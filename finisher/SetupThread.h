#ifndef VELTORA_SETUPTHREAD_H
#define VELTORA_SETUPTHREAD_H

#include "HandOff.h"
#include "InstallTransaction.h"

#include <QByteArray>
#include <QJsonArray>
#include <QString>
#include <QThread>

// Installs the staged files over the installed bundle: copies the staging
// directory (five attempts), backs up and deletes the manifest's delete list,
// edits settings.ini, removes the update data and cache directories and makes the
// bundle's executables executable. After five failed copies it restores the backup
// and removes what the install added. The steps are those of one InstallTransaction,
// made from the hand-off when the first attempt starts.
// The first attempt runs on the worker thread, the later ones and the restore on
// the thread the object belongs to.
class SetupThread : public QThread
{
    Q_OBJECT

public:
    SetupThread(const QString &installPath, const QString &updatePath, QObject *parent = nullptr);

    void getAddAndDelFiles(const QString &configFile, const QString &versionKey);
    void modifyVeltoraSettings(const QString &configFile);
    QString getSystemVersion() const { return QStringLiteral("mac"); }
    void cleanSuffixFile(const QString &dir, const QString &suffix);
    bool DeleteDirectory(const QString &dir);
    QByteArray getLocalFileMd5Value(const QString &path);

    QString configFileName;
    QString version;
    int retryCount = 0;
    QString installPath;
    QString updatePath;
    QString backupPath;
    QString cachePath;
    QString dataPath;
    QString updateDir;
    QJsonArray deleteFiles;
    QJsonArray addFiles;

signals:
    void setupSuccessSignal();
    void setupFailedSignal();
    void setupOneFailedSignal();
    void messageBoxSignal(const QString &message);

public slots:
    void mainControl();

protected:
    void run() override;

private:
    // Makes the transaction and checks, before anything is copied, the bundle, the
    // staging folder and (with a release key) the manifest's signature and content rules.
    bool checkStartable();
    void install();
    void recover();
    HandOff handOff() const;

    bool m_begun = false; // the journal is written
    InstallTransaction m_transaction;
};

#endif
