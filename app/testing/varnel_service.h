// Test fixture of the app's tests that need the real service: every test gets a fresh
// machine (platform::testing::MachineTest) on which it can run `varnel -console` as a
// real process, stop it as Ctrl-C does, and read the service's log. Whatever the test
// left running, the service and the programs it started, ends in TearDown.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sessions.h"
#include "platform/testing/machine_test.h"

namespace Korvo_Tallisk::testing {

class VarnelServiceTest : public platform::testing::MachineTest {
 protected:
  void TearDown() override;

  // Starts `varnel -console` on this test's machine and waits until its endpoint
  // answers a client that opens and closes a context.
  ::testing::AssertionResult Start();
  // Ends the console run as Ctrl-C does and waits until the program has exited with 0,
  // its log written out.
  ::testing::AssertionResult Stop();
  bool ServiceRunning() const { return pid_ > 0; }

  // The service's log file on this machine, its text, and how many of its lines hold
  // `text`. Lines reach the file from the service's writer thread: a test that looks for
  // a line that is not there looks after Stop().
  std::filesystem::path ServiceLogPath() const;
  std::string ServiceLog() const;
  int ServiceLogLines(std::string_view text) const;
  // What the service program wrote to its standard output and error.
  std::string ServiceOutput() const;

  // The processes of the machine's process table that run `name`.
  static std::vector<platform::MachineProcess> Running(const std::wstring& name);

  // The embedded default profile with its processor name padded, so that the system
  // information record the service serves for it is exactly `length` characters long
  // (UTF-16 code units, without the NUL). Measured, not assumed: the record is read with
  // vesk-machine sysinfo on a scratch machine before and after the padding; a length
  // shorter than the default machine's record is a test failure.
  static nlohmann::json ProfileServingSysInfoOfLength(std::size_t length);

 private:
  int pid_ = -1;
  platform::testing::TempDir scratch_;
};

}  // namespace Korvo_Tallisk::testing
