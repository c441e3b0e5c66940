// Helpers shared by the fuzz targets: a checked invariant that libFuzzer reports as a crash.
// The targets keep their files on the simulated platform's memory disk.
#pragma once
#include <stdio.h>
#include <stdlib.h>

// abort() leaves a crash file and a stack trace, in a release build as well.
#define FUZZ_CHECK(condition)                                                        \
    do {                                                                             \
        if (!(condition)) {                                                          \
            fprintf(stderr, "invariant failed: %s (%s:%d)\n", #condition, __FILE__,  \
                    __LINE__);                                                       \
            abort();                                                                 \
        }                                                                            \
    } while (0)
