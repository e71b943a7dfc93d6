#include "InstallJournal.h"

#include "DataPaths.h"
#include "FileUtils.h"
#include "ReleaseFreshness.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

// A record larger than this was not written by us.
constexpr qint64 maxRecordSize = 64 * 1024 * 1024;

QString phaseName(InstallJournal::Phase phase)
{
    return phase == InstallJournal::Installed ? QStringLiteral("installed") : QStringLiteral("copying");
}

} // namespace

QString InstallJournal::path(const QString &installPath)
{
    return DataPaths::backupDirectory(installPath) + QStringLiteral("/.install-in-progress.json");
}

bool InstallJournal::exists(const QString &installPath)
{
    return QFileInfo::exists(path(installPath));
}

bool InstallJournal::read(const QString &installPath, QString *error)
{
    QFile file(path(installPath));
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    if (file.size() > maxRecordSize) {
        *error = QStringLiteral("the record is too large");
        return false;
    }
    QJsonParseError parse;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parse);
    const QJsonObject object = document.object();
    if (parse.error != QJsonParseError::NoError || !document.isObject()) {
        *error = QStringLiteral("the record is not a JSON object");
        return false;
    }
    handOff = HandOff::fromJson(object);
    handOff.installPath = installPath;
    added.clear();
    for (const QJsonValue &entry : object.value(QStringLiteral("added")).toArray()) {
        // Only what stays inside the bundle is ever acted on.
        if (FileUtils::isSafeRelativePath(entry.toString()))
            added << entry.toString();
    }
    written.reset();
    if (object.contains(QStringLiteral("written"))) {
        written = QStringList();
        for (const QJsonValue &entry : object.value(QStringLiteral("written")).toArray()) {
            if (FileUtils::isSafeRelativePath(entry.toString()))
                *written << entry.toString();
        }
    }
    const QString phaseText = object.value(QStringLiteral("phase")).toString();
    if (phaseText != phaseName(Copying) && phaseText != phaseName(Installed)) {
        *error = QStringLiteral("unknown phase \"%1\"").arg(phaseText);
        return false;
    }
    phase = phaseText == phaseName(Installed) ? Installed : Copying;
    begunAt = ReleaseFreshness::parseTime(object.value(QStringLiteral("begunAt")).toString());
    return true;
}

bool InstallJournal::write(QString *error) const
{
    const QString target = path(handOff.installPath);
    if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
        *error = QStringLiteral("cannot create %1").arg(QFileInfo(target).absolutePath());
        return false;
    }
    QJsonObject object = handOff.toJson();
    object.insert(QStringLiteral("added"), QJsonArray::fromStringList(added));
    if (written)
        object.insert(QStringLiteral("written"), QJsonArray::fromStringList(*written));
    object.insert(QStringLiteral("phase"), phaseName(phase));
    if (begunAt.isValid())
        object.insert(QStringLiteral("begunAt"), ReleaseFreshness::timeText(begunAt));
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(object).toJson()) < 0 || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    // The rename must reach the disk before the first change it announces.
    return FileUtils::syncFileSystem(handOff.installPath, error);
}

bool InstallJournal::remove(const QString &installPath, QString *error)
{
    const QString target = path(installPath);
    if (QFileInfo::exists(target) && !QFile::remove(target)) {
        *error = QStringLiteral("cannot remove %1").arg(target);
        return false;
    }
    return FileUtils::syncFileSystem(installPath, error);
}
