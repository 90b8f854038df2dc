// A failed property in a fuzz target: says what broke and aborts, so that
// libFuzzer keeps the input as a finding and a replay run fails.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

/// A copy of standard error taken before main: with -close_fd_mask=2 libFuzzer
/// points descriptor 2 at /dev/null, and a finding must still say what broke.
inline const int fuzzReportFd = dup(2);

#define FUZZ_CHECK(condition, ...)                                                  \
    do {                                                                            \
        if (!(condition)) {                                                         \
            const int fd = fuzzReportFd >= 0 ? fuzzReportFd : 2;                    \
            dprintf(fd, "%s:%d: check failed: %s\n", __FILE__, __LINE__,            \
                    #condition);                                                    \
            dprintf(fd, __VA_ARGS__);                                               \
            dprintf(fd, "\n");                                                      \
            std::abort();                                                           \
        }                                                                           \
    } while (0)
