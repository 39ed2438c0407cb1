// native/tests/check.hpp: the one-macro test runner of the core tests (CHECK, then a summary line)
#pragma once

#include <cstdio>
#include <string>

namespace tarvel::testing {

inline int passed = 0;
inline int failed = 0;

// Prints "N passed, N failed" and gives the exit status of the test program.
inline int summary() {
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace tarvel::testing

#define CHECK(cond, what)                                                   \
    do {                                                                    \
        if (cond) {                                                         \
            ++::tarvel::testing::passed;                                    \
        } else {                                                            \
            ++::tarvel::testing::failed;                                    \
            std::printf("FAIL %s:%d: %s [%s]\n", __FILE__, __LINE__, #cond, \
                        std::string(what).c_str());                         \
        }                                                                   \
    } while (0)
