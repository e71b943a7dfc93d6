#ifndef VELTORA_QUICKMODE_H
#define VELTORA_QUICKMODE_H

#include <QtTest>

// `make check` sets VELTORA_QUICK_TESTS for a fast loop: cases that wait on real
// time or move hundreds of MB skip themselves there; `make test` runs them.
#define VELTORA_SLOW_CASE()                                                         \
    do {                                                                            \
        if (qEnvironmentVariableIsSet("VELTORA_QUICK_TESTS"))                       \
            QSKIP("slow case: runs under make test");                               \
    } while (false)

#endif
