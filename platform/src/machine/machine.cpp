#include "platform/machine.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/registry.h"
#include "platform/src/host/files.h"
#include "platform/src/machine/profile_sections.h"
#include "platform/text.h"
#include "platform/wmi.h"

namespace platform {
namespace {

std::mutex g_currentLock;  // constant-initialised, usable before any constructor ran
// Never destroyed: threads that outlive main() (pool workers, call threads, the log
// writer) may still reach for the machine while the process exits. Made on first use,
// not by a static initialiser: the service controller's start-up hook runs the
// supervisor from a constructor, which may come before this file's initialisers.
std::shared_ptr<Machine>& CurrentHolder() {
  static auto* holder = new std::shared_ptr<Machine>();
  return *holder;
}
std::atomic<Machine*> g_currentRaw{nullptr};

// The machine's own files are written whole or not at all; failures name the file.
void WriteMachineFile(const std::filesystem::path& path, const std::string& bytes) {
  if (!host::WriteFileAtomically(path, bytes)) {
    throw MachineError("cannot write " + path.string() + ": " + std::generic_category().message(errno));
  }
}

std::string ReadWholeFile(const std::filesystem::path& path) {
  try {
    if (auto text = host::ReadFile(path)) return std::move(*text);
    throw MachineError("cannot read " + path.string() + ": it does not exist");
  } catch (const std::system_error& e) {
    throw MachineError(e.what());
  }
}

// Host path of a "C:\..." path inside a root that is being laid out (nothing there
// yet, so no case matching is needed).
std::filesystem::path SeedPath(const std::filesystem::path& driveC, const std::string& machinePath,
                               const std::string& origin) {
  if (machinePath.size() < 3 || (machinePath[0] != 'C' && machinePath[0] != 'c') || machinePath[1] != ':' ||
      (machinePath[2] != '\\' && machinePath[2] != '/')) {
    throw MachineError(origin + ": \"files\" entry \"" + machinePath + "\" is not a path on drive C:");
  }
  std::filesystem::path out = driveC;
  std::string part;
  for (std::size_t i = 3; i <= machinePath.size(); ++i) {
    if (i == machinePath.size() || machinePath[i] == '\\' || machinePath[i] == '/') {
      if (part == "..") throw MachineError(origin + ": \"files\" entry \"" + machinePath + "\" leaves drive C:");
      if (!part.empty() && part != ".") out /= part;
      part.clear();
    } else {
      part.push_back(machinePath[i]);
    }
  }
  return out;
}

// A "files" value: the file's text, or {"companion": "<what it stands for>"}.
void RequireFiles(const nlohmann::json& profile, const std::string& origin) {
  if (!profile.contains("files")) return;
  const auto& files = profile["files"];
  if (!files.is_object()) throw MachineError(origin + ": \"files\" must be an object");
  for (const auto& [name, value] : files.items()) {
    if (value.is_string()) continue;
    const auto companion = value.is_object() && value.size() == 1 ? value.find("companion") : value.end();
    if (companion == value.end() || !companion->is_string() || companion->get<std::string>().empty()) {
      throw MachineError(origin + ": \"files\" entry \"" + name +
                         "\" must be a string or {\"companion\": \"what it stands for\"}, not " + value.dump());
    }
  }
}

// The host program that companion entries of "files" become: KORVO_COMPANION_PROGRAM
// when set (empty: none), else the korvo-companion of this build. Nothing when it is
// not an executable file.
std::optional<std::filesystem::path> CompanionProgram() {
  std::filesystem::path program;
  if (const char* chosen = std::getenv("KORVO_COMPANION_PROGRAM"); chosen != nullptr) {
    program = chosen;
  } else {
#ifdef KORVO_BUILT_COMPANION_PROGRAM
    program = KORVO_BUILT_COMPANION_PROGRAM;
#endif
  }
  std::error_code ec;
  if (program.empty() || !std::filesystem::is_regular_file(program, ec) || ::access(program.c_str(), X_OK) != 0) {
    return std::nullopt;
  }
  return std::filesystem::absolute(program, ec);
}

void RequireObjectOfStrings(const nlohmann::json& profile, const char* key, const std::string& origin) {
  if (!profile.contains(key)) return;
  const auto& v = profile[key];
  if (!v.is_object()) throw MachineError(origin + ": \"" + key + "\" must be an object");
  for (const auto& [name, value] : v.items()) {
    if (!value.is_string()) throw MachineError(origin + ": \"" + key + "\" entry \"" + name + "\" must be a string");
  }
}

}  // namespace

namespace machine::detail {

void CheckMachineSections(const nlohmann::json& profile, const std::string& origin) {
  RequireFiles(profile, origin);
  RequireObjectOfStrings(profile, "environment", origin);
}

}  // namespace machine::detail

nlohmann::json ParseProfile(std::string_view text, const std::string& origin) {
  nlohmann::json profile;
  try {
    profile = nlohmann::json::parse(text.begin(), text.end());
  } catch (const nlohmann::json::parse_error& e) {
    throw MachineError(origin + ": not valid JSON: " + e.what());
  }
  if (!profile.is_object()) throw MachineError(origin + ": a machine profile must be a JSON object");
  // Each area checks its own section (profile_sections.cpp lists them).
  for (const auto& section : machine::detail::ProfileSections()) section.check(profile, origin);
  return profile;
}

std::filesystem::path DefaultMachineRoot() {
  if (const char* root = std::getenv("KORVO_MACHINE_ROOT"); root != nullptr && *root != '\0') return root;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state != '\0') {
    return std::filesystem::path(state) / "korvo" / "machine";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return std::filesystem::path(home) / ".local" / "state" / "korvo" / "machine";
  }
  return std::filesystem::temp_directory_path() / ("korvo-machine-" + std::to_string(::getuid()));
}

Machine::Machine(Options& options)
    : root_(std::move(options.root)),
      clock_(options.clock ? std::move(options.clock) : std::make_unique<RealClock>()),
      account_(std::move(options.account)),
      captureDebug_(options.captureDebugOutput),
      programPath_(std::move(options.programPath)) {}

Machine::~Machine() = default;

std::shared_ptr<Machine> Machine::Open(Options options) {
  if (options.root.empty()) throw MachineError("no machine root given");
  std::error_code ec;
  std::filesystem::create_directories(options.root, ec);
  if (ec) throw MachineError("cannot create machine root " + options.root.string() + ": " + ec.message());
  options.root = std::filesystem::absolute(options.root, ec);

  const auto profilePath = options.root / "machine.json";
  const bool firstUse = !std::filesystem::exists(profilePath);
  nlohmann::json profile;
  if (options.profile) {
    // Through text, so that a profile built in code is checked and typed exactly like
    // one read from a file (a literal 1 becomes an unsigned number there too).
    profile = ParseProfile(options.profile->dump(), "machine profile");
  } else if (!firstUse) {
    profile = ParseProfile(ReadWholeFile(profilePath), profilePath.string());
  } else {
    profile = ParseProfile(EmbeddedDefaultProfile(), "embedded default profile");
  }

  std::shared_ptr<Machine> machine(new Machine(options));
  machine->profile_ = std::move(profile);
  if (firstUse) machine->LayOut();
  return machine;
}

void Machine::LayOut() {
  std::error_code ec;
  for (const char* dir : {"drive_c", "rpc", "objects"}) std::filesystem::create_directories(root_ / dir, ec);
  for (const char* dir : {"Windows/System32/config/systemprofile/AppData/Roaming", "Program Files",
                          "Program Files (x86)", "ProgramData", "Users"}) {
    std::filesystem::create_directories(DriveC() / dir, ec);
  }
  if (ec) throw MachineError("cannot lay out machine root " + root_.string() + ": " + ec.message());

  registry::SeedFromProfile(root_, profile_.value("registry", nlohmann::json::object()));
  if (profile_.contains("files")) {
    std::optional<std::optional<std::filesystem::path>> companion;  // looked for once, when needed
    std::string standIns;
    for (const auto& [path, content] : profile_["files"].items()) {
      auto host = SeedPath(DriveC(), path, "machine profile");
      std::filesystem::create_directories(host.parent_path(), ec);
      if (content.is_string()) {
        WriteMachineFile(host, content.get<std::string>());
        continue;
      }
      if (!companion) companion = CompanionProgram();
      const std::string standsFor = content["companion"].get<std::string>();
      if (!*companion) {
        WriteMachineFile(host, "Korvo companion stand-in: " + standsFor + "\n");
        standIns += (standIns.empty() ? "" : ", ") + path;
        continue;
      }
      // A link, not a copy: every machine root of a build shares the one program.
      std::filesystem::remove(host, ec);
      std::filesystem::create_symlink(**companion, host, ec);
      if (ec) throw MachineError("cannot place the companion program at " + host.string() + ": " + ec.message());
    }
    if (!standIns.empty()) {
      WriteDebug(
          Utf8ToWide("machine layout: no companion program (KORVO_COMPANION_PROGRAM or the built "
                     "korvo-companion), so these are stand-in text files: " +
                     standIns));
    }
  }
  // machine.json last: its presence marks a root that is completely laid out.
  WriteMachineFile(root_ / "machine.json", profile_.dump(2) + "\n");
}

std::optional<std::wstring> Machine::ProgramPath() const {
  std::lock_guard guard(lock_);
  return programPath_;
}

void Machine::SetProgramPath(std::wstring machinePath) {
  std::lock_guard guard(lock_);
  programPath_ = std::move(machinePath);
}

void Machine::WriteDebug(std::wstring_view text) {
  if (captureDebug_) {
    std::lock_guard guard(lock_);
    debugOutput_.emplace_back(text);
    return;
  }
  std::string line = WideToUtf8(text);
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  static const bool toStderr = [] {
    const char* v = std::getenv("KORVO_DEBUG_STDERR");
    return v != nullptr && std::string_view(v) == "1";
  }();
  if (toStderr) (void)!::write(STDERR_FILENO, line.data(), line.size());
  int fd = ::open((root_ / "debug.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    (void)!::write(fd, line.data(), line.size());
    ::close(fd);
  }
}

std::vector<std::wstring> Machine::CapturedDebugOutput() const {
  std::lock_guard guard(lock_);
  return debugOutput_;
}

Machine& CurrentMachine() {
  if (Machine* m = g_currentRaw.load(std::memory_order_acquire)) return *m;
  return *CurrentMachinePtr();
}

namespace {
thread_local bool t_openingCurrent = false;
}  // namespace

namespace machine::detail {
bool OpeningCurrentMachine() {
  return t_openingCurrent;
}
}  // namespace machine::detail

std::shared_ptr<Machine> CurrentMachinePtr() {
  std::lock_guard guard(g_currentLock);
  auto& current = CurrentHolder();
  if (!current) {
    Machine::Options options;
    options.root = DefaultMachineRoot();
    t_openingCurrent = true;
    try {
      current = Machine::Open(std::move(options));
    } catch (...) {
      t_openingCurrent = false;
      throw;
    }
    t_openingCurrent = false;
    g_currentRaw.store(current.get(), std::memory_order_release);
  }
  return current;
}

std::shared_ptr<Machine> SelectMachine(std::shared_ptr<Machine> machine) {
  std::lock_guard guard(g_currentLock);
  auto& current = CurrentHolder();
  auto previous = std::move(current);
  current = std::move(machine);
  g_currentRaw.store(current.get(), std::memory_order_release);
  return previous;
}

}  // namespace platform
