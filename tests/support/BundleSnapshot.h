#ifndef VELTORA_BUNDLESNAPSHOT_H
#define VELTORA_BUNDLESNAPSHOT_H

#include <QString>
#include <QStringList>

#include <sys/types.h>

// Helpers of the whole-program tests: running a tool, describing a bundle so that two
// bundles compare byte for byte, finding the programs of a bundle among the processes.
namespace BundleSnapshot {

// Runs a program to its end; true when it exited with 0.
bool run(const QString &program, const QStringList &arguments, QString *output = nullptr, int timeoutMs = 300000);

// Every entry of a bundle outside its backup and fix-update folders, sorted: files with
// mode and digest, links with their text, empty folders.
QStringList treeOf(const QString &root);

// Everything about a tree that a program could change through a link: every entry with
// its type and mode bits, its modification time to the nanosecond, a file's digest,
// a link's target; the root itself included.
QStringList stateOf(const QString &root);

// Whether a process whose command line mentions `needle` is still running.
bool processRunning(const QString &needle);

// The process running the program at `executable`, or 0.
pid_t processOf(const QString &executable);

} // namespace BundleSnapshot

#endif
