#ifndef VELTORA_UPDATEARGUMENTS_H
#define VELTORA_UPDATEARGUMENTS_H

#include <QDateTime>
#include <QString>
#include <QStringList>

// The start values of the updater, read from one of its three command-line forms:
//   update VERSION MANIFEST-URL INSTALL-PATH
//   update VERSION MANIFEST-URL INSTALL-PATH USER-NAME
//   update -skipfix VERSION MANIFEST-URL INSTALL-PATH LOG-FILE-NAME
class UpdateArguments
{
public:
    // Argument counts include the program name.
    static bool isValidCount(int count);

    // Reads a valid argument list; `now` names the log file of the 4- and 5-argument forms.
    static UpdateArguments parse(const QStringList &arguments, const QDateTime &now);

    // An installer image's address (".exe" or ".dmg", case-sensitive) stands for the
    // manifest beside it: the whole address text gets ".json" appended.
    static QString manifestAddress(const QString &address);

    // The fix-update copy's command line (the "-skipfix" form) for these start values.
    QStringList skipFixArguments() const;

    QString platform = QStringLiteral("mac");
    QString version;
    QString manifestUrl;
    QString installPath;
    QString userName;
    QString logFileName;
    bool skipFix = false;
};

#endif
