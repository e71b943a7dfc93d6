#ifndef VELTORA_UPDATEARGUMENTS_H
#define VELTORA_UPDATEARGUMENTS_H

#include <QDateTime>
#include <QString>
#include <QStringList>

// The start values of the updater, read from one of its three command-line forms:
//   update VERSION MANIFEST-URL INSTALL-PATH
//   update VERSION MANIFEST-URL INSTALL-PATH USER-NAME
//   update -skipfix VERSION MANIFEST-URL INSTALL-PATH LOG-FILE-NAME
// and the host's question whether an update is offered now (UpdateCheck):
//   update --check VERSION MANIFEST-URL INSTALL-PATH
class UpdateArguments
{
public:
    // Exit statuses beside the event loop's 0 (handed over) and -1 (a failure). A release
    // held back by its rollout is no failure: the application can tell it apart.
    enum ExitStatus : int {
        Offered = 0,     // --check: an update is offered to this installation now
        CheckFailed = 1, // --check: the manifest could not be fetched or was refused
        HeldBack = 2,    // this installation is not in the release's rollout (yet)
        UpToDate = 3,    // --check: the release is not newer than the installed version
    };

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
