#ifndef VELTORA_INSTALLRECOVERY_H
#define VELTORA_INSTALLRECOVERY_H

#include <QString>

// At start-up, before anything else: an install into the bundle that was cut short
// (power loss, a kill, a crash) is finished from its staging folder or, when that
// cannot succeed, undone from the backup, so the bundle is the new version or the old.
namespace InstallRecovery {

enum Outcome {
    NothingToDo, // no install was interrupted
    Finished,    // the interrupted install is complete
    Restored,    // the previous version is back
    Failed,      // neither worked; the record stays for the next start
};

Outcome run(const QString &installPath);

} // namespace InstallRecovery

#endif
