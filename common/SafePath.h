#ifndef VELTORA_SAFEPATH_H
#define VELTORA_SAFEPATH_H

#include <QString>

#include <sys/types.h>

// Acting on paths that come from the network (manifests, packets) below a root folder
// (the bundle, the staging or backup folder): no symbolic link is ever followed, on the
// way or at the end, and nothing outside the root is reached. Links are data: they may
// be created and removed, never acted through. Every call refuses with a reason.
namespace SafePath {

// Opens root/relative with `flags` (O_NOFOLLOW is added); -1 when the path leaves the
// root, runs through a link, or cannot be opened. An empty relative path is the root.
int openBeneath(const QString &root, const QString &relative, int flags, QString *error);

// Whether every folder on the way to root/relative is a real folder inside the root
// (the last component itself may be anything, or missing).
bool parentIsContained(const QString &root, const QString &relative, QString *error);

// Removes the file or link root/relative itself; a folder is refused.
bool removeBeneath(const QString &root, const QString &relative, QString *error);

// Removes the folder root/relative and everything below it, links as links.
bool removeTreeBeneath(const QString &root, const QString &relative, QString *error);

// Sets the permission bits of the file or folder root/relative; a link is refused.
bool chmodBeneath(const QString &root, const QString &relative, mode_t mode, QString *error);

} // namespace SafePath

#endif
