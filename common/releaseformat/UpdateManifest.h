#ifndef VELTORA_UPDATEMANIFEST_H
#define VELTORA_UPDATEMANIFEST_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The manifest file as both programs read it, and the packet layout it implies.
namespace UpdateManifest {

// The whole manifest file; false when it cannot be opened or is larger than any manifest.
bool readFile(const QString &path, QByteArray *bytes);

// The object of one platform ("mac"); false when the text is not a JSON object.
// A document without that platform gives an empty object.
bool platformSection(const QByteArray &bytes, const QString &platform, QJsonObject *section);

// Where a packet unpacks: its file name (or path) less the four characters of its
// extension ("partial-1.0.pkt" → "partial-1.0"), as the vendor's packets are laid out.
QString packetFolderName(const QString &packetPath);

} // namespace UpdateManifest

#endif
