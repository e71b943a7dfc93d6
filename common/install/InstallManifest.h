#ifndef VELTORA_INSTALLMANIFEST_H
#define VELTORA_INSTALLMANIFEST_H

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// What an install takes from the manifest: the update's delete and add lists and the
// edits of settings.ini, parsed once from the bytes that were verified (or read, on
// an installation without a release key), so a file swapped afterwards never counts.
struct InstallManifest
{
    // Parses the lists of the update keyed `version` and the settings edits of the
    // "mac" section; a text that is not a JSON object gives empty lists and edits.
    static InstallManifest parse(const QByteArray &bytes, const QString &version);
    // The same from a manifest file; `read` stays false when it cannot be opened.
    static InstallManifest readFile(const QString &path, const QString &version);

    // An install with nothing to copy is still one when it deletes files or edits settings.
    bool hasListedChanges() const;

    bool read = false;     // the bytes were there
    bool isObject = false; // and parsed as a JSON object
    QJsonArray deleteFiles;
    QJsonArray addFiles;
    QJsonArray settingsDeletions;
    QJsonObject settingsAdditions;
};

#endif
