// The machine a process runs on. Every area of the platform layer works on the
// current machine: its root folder (drive C:, registry, service database, event log,
// RPC endpoints, named objects), its clock, its profile and its debug sink.
//
// main() of each deliverable and tool selects the machine once at start; a process
// that selects none gets the default one on first use: root from KORVO_MACHINE_ROOT,
// else ${XDG_STATE_HOME:-$HOME/.local/state}/korvo/machine, with the real clock.
// Tests install a fresh simulated machine per test (platform/testing/machine_test.h).
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeindex>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/clock.h"

namespace platform {

// A machine that cannot be opened: an unusable root, or a profile that is not valid.
// what() is a message for a person.
class MachineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The account the current program runs as on the machine.
struct ProcessAccount {
  std::wstring userName = L"SYSTEM";
  std::wstring domain = L"NT AUTHORITY";
  // Profile folder (machine path); its AppData\Roaming is the roaming folder.
  std::wstring profileFolder = L"C:\\Windows\\System32\\config\\systemprofile";
};

class Machine {
 public:
  struct Options {
    std::filesystem::path root;               // created when missing
    std::unique_ptr<Clock> clock;             // null: the real clock
    std::optional<nlohmann::json> profile;    // null: <root>/machine.json, else the embedded default
    bool captureDebugOutput = false;          // keep OutputDebugString text in memory
    std::optional<std::wstring> programPath;  // machine path reported as the running program
    ProcessAccount account;
  };

  // Opens (and on first use lays out) the machine at options.root: writes
  // machine.json, and seeds the registry and drive C: from the profile. Throws
  // MachineError.
  static std::shared_ptr<Machine> Open(Options options);

  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  const std::filesystem::path& Root() const { return root_; }
  std::filesystem::path DriveC() const { return root_ / "drive_c"; }
  Clock& GetClock() { return *clock_; }
  const nlohmann::json& Profile() const { return profile_; }
  const ProcessAccount& Account() const { return account_; }

  // The machine path of the running program when it was set (tests, tools that act
  // as another program); otherwise GetModuleFileName reports the real executable.
  std::optional<std::wstring> ProgramPath() const;
  void SetProgramPath(std::wstring machinePath);

  void WriteDebug(std::wstring_view text);
  std::vector<std::wstring> CapturedDebugOutput() const;

  // Per-machine state of a platform area, created on first use.
  template <class T>
  T& State() {
    std::lock_guard guard(stateLock_);
    auto& slot = state_[std::type_index(typeid(T))];
    if (!slot) slot = std::make_shared<T>();
    return *static_cast<T*>(slot.get());
  }

 private:
  explicit Machine(Options& options);
  void LayOut();

  std::filesystem::path root_;
  std::unique_ptr<Clock> clock_;
  nlohmann::json profile_;
  ProcessAccount account_;
  bool captureDebug_ = false;

  mutable std::mutex lock_;
  std::optional<std::wstring> programPath_;
  std::vector<std::wstring> debugOutput_;

  std::mutex stateLock_;
  std::unordered_map<std::type_index, std::shared_ptr<void>> state_;
};

// The process's machine (opened with the defaults on first use when none was
// selected). Throws MachineError when the default machine cannot be opened.
Machine& CurrentMachine();
std::shared_ptr<Machine> CurrentMachinePtr();

// Makes `machine` the current one and returns the previous one (may be null).
std::shared_ptr<Machine> SelectMachine(std::shared_ptr<Machine> machine);

// KORVO_MACHINE_ROOT, or the per-user default.
std::filesystem::path DefaultMachineRoot();

// machines/default.json, compiled into every binary.
std::string_view EmbeddedDefaultProfile();

// Parses and checks a profile; throws MachineError naming the file and the problem.
nlohmann::json ParseProfile(std::string_view text, const std::string& origin);

}  // namespace platform
