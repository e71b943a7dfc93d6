#ifndef VELTORA_DATAPATHS_H
#define VELTORA_DATAPATHS_H

#include <QString>

// Where both programs keep their data: the parent of the application-data
// location + "/Veltora" (holds settings.ini), and below it "/update" for the
// downloads and the default log directory.
namespace DataPaths {
QString dataDirectory();
QString updateDirectory();
QString settingsFile();
// The product's cache folder: the parent of the cache location + "/Veltora".
QString cacheDirectory();
// The backup folder inside an installed bundle: what an install overwrites or removes,
// the setup program's private copy and the record of an install under way.
QString backupDirectory(const QString &installPath);
}

#endif
