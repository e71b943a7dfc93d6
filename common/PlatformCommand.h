#ifndef VELTORA_PLATFORMCOMMAND_H
#define VELTORA_PLATFORMCOMMAND_H

#include <QString>
#include <QStringList>

// Runs a platform program found on PATH with an argument list and waits for it.
// No shell ever sees the arguments. Returns the exit status, or -1 when the
// program is missing, cannot start or crashes.
int runPlatformCommand(const QString &program, const QStringList &arguments);

#endif
