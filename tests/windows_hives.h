// Tests that read the hives Windows itself wrote, which live beside the
// repository (../shared/hives/windows-written, TARNWICK_WINDOWS_HIVES) and
// not in it. A clone on its own has no such folder: these tests then skip,
// with a message CTest recognises (tests/CMakeLists.txt). Where CI is set, a
// missing folder fails them instead, so that CI can never pass by skipping.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

inline bool ciIsSet() {
    const char* const ci = std::getenv("CI");
    return ci != nullptr && *ci != '\0';
}

// In a fixture's SetUp: ends the test, skipped or failed, when the folder is
// missing.
#define TARNWICK_NEEDS_WINDOWS_HIVES()                                                                    \
    do {                                                                                                  \
        if (!std::filesystem::is_directory(TARNWICK_WINDOWS_HIVES)) {                                     \
            if (ciIsSet()) {                                                                              \
                GTEST_FAIL() << "CI is set and the Windows-written hives are missing: no folder "         \
                             << TARNWICK_WINDOWS_HIVES;                                                   \
            }                                                                                             \
            GTEST_SKIP() << "skipped: the Windows-written hives are not beside the repository: no folder " \
                         << TARNWICK_WINDOWS_HIVES;                                                       \
        }                                                                                                 \
    } while (false)
