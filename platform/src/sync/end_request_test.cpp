// The end request in a child process: each of the host's polite signals ends the wait
// on it, and the child finishes its own way (exit code 0) instead of dying of the
// signal.
#include <signal.h>
#include <string.h>

#include <gtest/gtest.h>

#include "platform/testing/machine_test.h"
#include "platform/testing/run_program.h"

namespace platform {
namespace {

using EndRequestTest = testing::MachineTest;

TEST_F(EndRequestTest, EachPoliteSignalEndsTheWaitAndTheProgramFinishesByItself) {
  testing::TempDir scratch;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(::strsignal(signal));
    const auto r = testing::RunProgram(scratch.path(), KORVO_PLATFORM_TEST_CHILD,
                                       {"await-end", root().string(), std::to_string(signal)});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "waiting\nasked to end\nsecond handle signalled\n") << "every handle names the one event";
  }
}

}  // namespace
}  // namespace platform
