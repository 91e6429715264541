// The forwarding plane stand-in for end-to-end tests: zeld waits at start-up until a forwarding
// plane has made the shared block and set its ready bit, so start `fp-sim serve` first.
//
//   class Zeld : public e2e::SandboxTest {
//       void SetUp() override { SandboxTest::SetUp(); fp_sim = e2e::start_fp_sim(); }
//       std::unique_ptr<e2e::Process> fp_sim;
//   };
#pragma once

#include "sandbox.h"

#include <memory>
#include <string>
#include <string_view>

namespace e2e
{

// Gives the sandbox a private /etc/default (a tmpfs, made once per process) whose sim_size holds
// `cls` ("small", "regular", "large"), so that the shared block is of that scaling class. Empty on
// success, else what went wrong.
std::string use_sim_size(std::string_view cls);

// Starts `fp-sim serve` and waits until it is ready. The scaling class is "small" unless
// use_sim_size chose another. nullptr (with a test failure added) when it does not come up.
std::unique_ptr<Process> start_fp_sim();

}  // namespace e2e
