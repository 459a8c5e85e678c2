// Test fixture: every test gets a fresh simulated machine in a temporary root with a
// virtual clock and captured debugger output; the previous machine comes back after
// the test and the root is removed.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/clock.h"
#include "platform/machine.h"

namespace platform::testing {

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The profile the machine is opened with; override to use another one.
  virtual nlohmann::json MachineProfile() const;

  Machine& machine() { return *machine_; }
  VirtualClock& clock() { return *clock_; }
  const std::filesystem::path& root() const { return root_; }
  // Host path of a machine path (asserts that it maps).
  std::filesystem::path Host(const std::wstring& machinePath) const;

  // Writes a program file at `machinePath` on drive C: carrying a version resource
  // with the given product name and version, and makes it the running program.
  void InstallProgram(const std::wstring& machinePath, const std::string& productName,
                      const std::string& version = "7.0.5.1", const std::string& lang = "040904E4");

  // Re-opens the same root as a new machine object (as a second process would see
  // it) and makes it current.
  void ReopenMachine();

 private:
  std::filesystem::path root_;
  std::shared_ptr<Machine> machine_;
  std::shared_ptr<Machine> previous_;
  VirtualClock* clock_ = nullptr;
};

// A machine test whose test thread is in the machine's multithreaded apartment, for
// tests that create COM objects.
class ComMachineTest : public MachineTest {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// A temporary folder removed when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Reads a host file as bytes ("" when missing).
std::string ReadHostFile(const std::filesystem::path& path);
// Writes a host file whole; a link there is replaced by the file, not written through.
void WriteHostFile(const std::filesystem::path& path, const std::string& bytes);

}  // namespace platform::testing
