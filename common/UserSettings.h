#ifndef VELTORA_USERSETTINGS_H
#define VELTORA_USERSETTINGS_H

#include <QString>

class QCoreApplication;
class QTranslator;

// The two keys of the application's settings.ini that both programs read.
struct UserSettings
{
    QString lang;
    bool catUpdateLog = false;

    // Reads settings.ini from the data directory; a missing file keeps the defaults.
    static UserSettings read();

    // ":/en_ch.qm" for "zh", otherwise empty (English texts).
    QString catalogue() const;
};

// Loads the named catalogue (an empty name loads nothing) into a translator
// owned by the application and installs it.
QTranslator *installCatalogue(QCoreApplication *app, const QString &catalogue);

#endif
