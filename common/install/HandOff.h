#ifndef VELTORA_HANDOFF_H
#define VELTORA_HANDOFF_H

#include <QJsonObject>
#include <QString>
#include <QStringList>

// What the updater hands to the setup program: one value written as the setup
// program's command line by the one and read back by the other, and kept in the
// journal of the install, so the three can never disagree on the order.
struct HandOff
{
    QString installPath; // the bundle, the folder holding Contents
    QString stagingPath; // the staged files, laid out like the bundle
    QString logFileName; // the updater's log file, which both programs append to
    QString configFileName; // the manifest's file name in the update data folder
    QString version; // the installed version: this update's key in the manifest

    // The five arguments, the two paths wrapped in "*" to protect blanks.
    QStringList arguments() const;
    // The five arguments after the program name; false when there are not five.
    static bool fromArguments(const QStringList &arguments, HandOff *handOff);

    QJsonObject toJson() const;
    static HandOff fromJson(const QJsonObject &object);

    bool operator==(const HandOff &other) const;
};

#endif
