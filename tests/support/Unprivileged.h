#ifndef VELTORA_UNPRIVILEGED_H
#define VELTORA_UNPRIVILEGED_H

#include <QProcess>
#include <QString>
#include <QStringList>

// Root ignores permission bits, so a test that needs a real refusal (an
// undeletable file, an unwritable folder) runs that step in a child process as
// the unprivileged user "nobody" when the suite runs as root, and as itself otherwise.
namespace Unprivileged {

bool dropsPrivileges();

// Starts program with arguments as the unprivileged user and waits for it.
// The program and every folder it touches must be reachable by that user.
// Returns the child's standard output, or an empty array when it did not run.
QByteArray run(const QString &program, const QStringList &arguments, int timeoutMs = 60000,
               const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());

// Makes a folder reachable but read-only for the unprivileged user.
bool lockFolder(const QString &path);
// Makes a folder (and the given tree root) traversable for the unprivileged user.
bool openFolder(const QString &path);
// Hands a whole tree to the unprivileged user (when running as root), so it can write there.
void giveAway(const QString &path);

} // namespace Unprivileged

#endif
