#ifndef VELTORA_RELEASEVERSION_H
#define VELTORA_RELEASEVERSION_H

#include <QString>

// Release versions are dotted decimal numbers ("1", "2.0", "10.4.12"), compared
// component by component as numbers; missing components count as 0, so "2" and
// "2.0" are the same release.
namespace ReleaseVersion {

// Non-empty components of decimal digits only, at most 32 of them.
bool isValid(const QString &version);

// Negative, zero or positive as a is older than, the same as or newer than b.
// Both must be valid.
int compare(const QString &a, const QString &b);

} // namespace ReleaseVersion

#endif
