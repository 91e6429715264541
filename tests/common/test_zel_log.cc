#include "common/zel_log.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

struct FlagsGuard {
    uint64_t saved = zel_debug_flags;
    ~FlagsGuard() { zel_debug_flags = saved; }
};

TEST(ZelLog, StdoutLinesNameFunctionAndLineAndCategoryLinesNeedTheirBit)
{
    FlagsGuard guard;
    zel_debug_flags = ZEL_DEBUG_STDOUT | ZEL_DEBUG_KRO;
    testing::internal::CaptureStdout();
    const int line = __LINE__ + 1;
    ZEL_LOG("value %d", 42);
    ZEL_DEBUG(ZEL_DEBUG_POLICY, "hidden");
    ZEL_DEBUG(ZEL_DEBUG_KRO, "shown");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.substr(0, out.find('\n') + 1), std::string(__func__) + ":" + std::to_string(line) + ": value 42\n");
    EXPECT_EQ(out.find("hidden"), std::string::npos);
    EXPECT_NE(out.find(": shown\n"), std::string::npos);
}

TEST(ZelLogDeathTest, AssertionNamesUnitLineAndExpression)
{
    EXPECT_DEATH(zel_assert_fail("/src/common/zel_avl.cc", 77, "tree != NULL"),
                 "^zel_avl:77: failed assertion `tree != NULL'\n");
    EXPECT_DEATH(zel_assert_fail("qor_signal", 64, "0"), "qor_signal:64: failed assertion `0'");
}

}  // namespace
