// The native checks' one assertion: a failed expectation prints where it was
// and is counted; main() returns non-zero when any failed.
#pragma once

#include <cstdio>

static int failures = 0;
#define EXPECT(cond)                                                        \
    do {                                                                    \
        if (!(cond)) {                                                      \
            std::printf("%s:%d: expected %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                     \
        }                                                                   \
    } while (0)
