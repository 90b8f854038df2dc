// Argument checks of the C-style utility libraries. A null pointer or a zero
// length handed to them is a programming error of the caller, not a failure
// to report, so the check stops the process with a line that names the unit
// and the parameter. It stays active in optimised builds: without it the
// same call would go on to write through the bad pointer.
#pragma once

#include <cstdio>
#include <cstdlib>

#define ZOR_ASSERT_ARG(cond, unit, param)                                          \
    do {                                                                           \
        if (!(cond)) {                                                             \
            std::fprintf(stderr, "%s: assertion failed: %s (%s)\n", unit, param, #cond); \
            std::abort();                                                          \
        }                                                                          \
    } while (0)
