#include "UpdateManifest.h"

#include "SignedManifest.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>

namespace UpdateManifest {

bool readFile(const QString &path, QByteArray *bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    // No manifest the downloads would take is larger: a bigger file is not ours.
    *bytes = file.read(SignedManifest::maxManifestSize + 1);
    return bytes->size() <= SignedManifest::maxManifestSize;
}

bool platformSection(const QByteArray &bytes, const QString &platform, QJsonObject *section)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    *section = document.object().value(platform).toObject();
    return true;
}

QString packetFolderName(const QString &packetPath)
{
    return packetPath.left(qMax(0, packetPath.size() - 4));
}

} // namespace UpdateManifest
