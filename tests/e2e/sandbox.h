// End-to-end test harness: the sandbox (platform/sandbox) and the fixture of the tests that run in it.
//
// Each test process (CTest runs every case as a process of its own) enters the sandbox once; within one
// process it is shared by all cases: clean up the files you create under /run and use syslog cursors
// rather than absolute positions. Typical use:
//   class Zeld : public e2e::SandboxTest {};
//   TEST_F(Zeld, Starts) {
//       auto p = e2e::Process::start({e2e::binary("zeld"), "-f"});
//       size_t cur = syslog().mark();
//       ASSERT_TRUE(syslog().wait_for("Starting", e2e::kWait, &cur));
//       p->signal(SIGUSR2);
//       EXPECT_EQ(e2e::exit_code(p->wait_exit()), 0);
//   }
#pragma once

#include "platform/sandbox/sandbox.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace e2e
{

// Skips when not root, fails when the sandbox cannot be made.
class SandboxTest : public testing::Test
{
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "end-to-end tests need root (private mount and network namespaces)";
        Sandbox &s = Sandbox::get();
        ASSERT_TRUE(s.ready()) << "sandbox: " << s.error();
    }
    Syslog &syslog() { return Sandbox::get().syslog(); }
};

}  // namespace e2e
