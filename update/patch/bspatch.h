#ifndef VELTORA_BSPATCH_H
#define VELTORA_BSPATCH_H

// Builds newfile from oldfile and a BSDIFF40 patch. Returns 0 on success and
// non-zero on any failure, after a diagnostic line on standard error.
// Paths are in the local 8-bit encoding.
int bspatch(const char *oldfile, const char *newfile, const char *patchfile);

#endif
