#ifndef VELTORA_PLATFORMCOMMAND_H
#define VELTORA_PLATFORMCOMMAND_H

#include <QString>
#include <QStringList>

// Runs a platform program found on PATH with an argument list and waits for it.
// No shell ever sees the arguments. Returns the exit status, or -1 when the
// program is missing, cannot start or crashes.
int runPlatformCommand(const QString &program, const QStringList &arguments);

// The program beside this executable if there is one, else the one found on PATH,
// else empty.
QString findPlatformProgram(const QString &name);

// Starts a program that outlives this process: detached, with its standard channels
// on the null device so that nothing it writes can hit a closed pipe.
bool startDetachedProgram(const QString &program, const QStringList &arguments);

#endif
