#ifndef VELTORA_INSTALLJOURNAL_H
#define VELTORA_INSTALLJOURNAL_H

#include "HandOff.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

// The record that an install into a bundle is under way, kept in the bundle's backup
// folder from before the setup program's first change until its files are on disk.
// Finding it at start-up means the last install was cut short; it holds what is needed
// to finish that install or to undo it.
class InstallJournal
{
public:
    enum Phase {
        Copying,   // staged files are going in; the bundle may be a mix
        Installed, // every file is in place; only the clean-up is left
    };

    // Where the record of an install into installPath lives. Hidden, so that restoring
    // the backup folder over the bundle never copies it.
    static QString path(const QString &installPath);
    static bool exists(const QString &installPath);

    // Reads the record of installPath; false with a reason when it is missing or unreadable.
    bool read(const QString &installPath, QString *error);
    // Writes the record atomically and flushes it to disk.
    bool write(QString *error) const;
    static bool remove(const QString &installPath, QString *error);

    // The setup program's five arguments; the install path is where the record was found.
    HandOff handOff;
    // Entries the install adds (relative to the bundle); a folder ends in "/" and
    // everything below it is new as well.
    QStringList added;
    // Staged files whose content the install writes; absent in records of older versions.
    std::optional<QStringList> written;
    Phase phase = Copying;
    // When the install began (UTC, to the second): a cut install's release is judged by
    // it, so one cut before the release expired is still finished after. Invalid in
    // records of older versions.
    QDateTime begunAt;
};

#endif
