// Where a test finds the build's programs and the source tree: the environment CTest sets, else the
// directories the test was built for, so that a test binary also runs by hand.
#pragma once

#include <cstdlib>
#include <string>

inline std::string zel_test_build_dir()
{
    const char *env = std::getenv("ZEL_BUILD_DIR");
    return env ? env : ZEL_TEST_BUILD_DIR;
}

inline std::string zel_test_source_dir()
{
    const char *env = std::getenv("ZEL_SOURCE_DIR");
    return env ? env : ZEL_TEST_SOURCE_DIR;
}
