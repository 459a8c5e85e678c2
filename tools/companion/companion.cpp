#include "tools/companion/companion.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <system_error>

#include <fmt/format.h>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/machine.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace tools::companion {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;
using platform::DWORD;

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

std::string FileNameOf(std::string_view path) {
  const auto slash = path.find_last_of("\\/");
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string NowUtc() {
  platform::SYSTEMTIME t{};
  platform::GetSystemTime(&t);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                     t.wSecond, t.wMilliseconds);
}

std::string Text(const json& value) {
  return value.is_string() ? value.get<std::string>() : "-";
}

}  // namespace

std::string StandsFor(std::string_view fileName, const std::vector<std::string>& arguments) {
  const std::string name = Lower(fileName);
  if (name == "msinfo32.exe") return "System Information";
  if (name == "korvopeltry.exe") return "Korvo hotkey notifications";
  if (name == "rennet.exe") return "USB Type-C configuration";
  if (name == "control.exe") {
    const auto flag =
        std::find_if(arguments.begin(), arguments.end(), [](const std::string& a) { return Lower(a) == "/name"; });
    if (flag == arguments.end()) return "Control Panel";
    if (flag + 1 == arguments.end()) return "Control Panel";
    if (Lower(flag[1]) == "microsoft.poweroptions") return "Power Options";
    return "Control Panel: " + flag[1];
  }
  return "Korvo companion";
}

ordered_json MakeRecord(const Start& start) {
  ordered_json record;
  record["pid"] = start.processId;
  // The machine path it was started as; a companion started by hand is where the host
  // says it is.
  record["program"] = start.entry ? platform::WideToUtf8(start.entry->path)
                                  : platform::WideToUtf8(platform::MapFromHost(start.hostProgram));
  record["hostProgram"] = start.hostProgram;
  record["standsFor"] = StandsFor(FileNameOf(start.hostProgram), start.arguments);
  record["arguments"] = start.arguments;
  record["inProcessTable"] = start.entry.has_value();
  const auto& e = start.entry;
  record["commandLine"] = e ? json(platform::WideToUtf8(e->commandLine)) : json(nullptr);
  record["user"] = e && !e->user.empty() ? json(platform::WideToUtf8(e->user)) : json(nullptr);
  record["session"] = e ? json(e->sessionId) : json(nullptr);
  record["elevation"] = e && e->elevationType ? json(platform::ElevationTypeName(*e->elevationType)) : json(nullptr);
  record["uiAccess"] = e ? json(e->uiAccess) : json(nullptr);
  record["desktop"] = e ? json(platform::WideToUtf8(e->desktop)) : json(nullptr);
  record["parent"] = e ? json(e->parentProcessId) : json(nullptr);
  ordered_json environment = ordered_json::object();
  for (const auto& variable : start.environment) {
    const std::string text = platform::WideToUtf8(variable);
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    environment[text.substr(0, eq)] = text.substr(eq + 1);
  }
  record["environment"] = std::move(environment);
  record["started"] = start.startTime;
  return record;
}

std::optional<platform::MachineProcess> FindOwnEntry(DWORD processId, DWORD waitMs) {
  constexpr DWORD kStep = 25;
  const auto begin = platform::GetTickCount64();
  while (true) {
    for (auto& p : platform::machine_sessions::Processes()) {
      if (p.processId == processId) return std::move(p);
    }
    if (platform::GetTickCount64() - begin >= waitMs) return std::nullopt;
    platform::Sleep(kStep);
  }
}

std::filesystem::path RecordsFolder() {
  return platform::CurrentMachine().Root() / "companions";
}

std::filesystem::path WriteRecord(const ordered_json& record) {
  const auto folder = RecordsFolder();
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) throw std::runtime_error("cannot create " + folder.string() + ": " + ec.message());
  const auto path = folder / (std::to_string(record.value("pid", 0u)) + ".json");
  const auto partial = folder / (path.filename().string() + ".partial");
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << record.dump(2) << "\n";
    if (!out.flush()) throw std::runtime_error("cannot write " + partial.string());
  }
  std::filesystem::rename(partial, path, ec);
  if (ec) throw std::runtime_error("cannot write " + path.string() + ": " + ec.message());
  return path;
}

std::vector<json> RunningRecords() {
  std::vector<json> out;
  const auto folder = RecordsFolder();
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) return out;
  const auto processes = platform::machine_sessions::Processes();
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    if (entry.path().extension() == ".json") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    json record = json::parse(in, nullptr, false);
    if (record.is_discarded() || !record.is_object() || !record.contains("pid") ||
        !record["pid"].is_number_unsigned()) {
      continue;
    }
    const DWORD pid = record["pid"].get<DWORD>();
    const std::wstring program = platform::Utf8ToWide(record.value("program", ""));
    const bool running = std::any_of(processes.begin(), processes.end(), [&](const platform::MachineProcess& p) {
      return p.processId == pid && platform::EqualsNoCase(p.path, program);
    });
    if (running) out.push_back(std::move(record));
  }
  std::sort(out.begin(), out.end(),
            [](const json& a, const json& b) { return a["pid"].get<DWORD>() < b["pid"].get<DWORD>(); });
  return out;
}

std::vector<std::string> WindowLines(const json& record) {
  std::vector<std::string> lines;
  const std::string standsFor = record.value("standsFor", "Korvo companion");
  lines.push_back(standsFor);
  if (record.value("inProcessTable", false)) {
    lines.push_back(fmt::format("Started for {} in session {}", Text(record["user"]), record["session"].dump()));
    lines.push_back(fmt::format("Elevation: {}, UI access: {}", Text(record["elevation"]),
                                record.value("uiAccess", false) ? "yes" : "no"));
  } else {
    lines.push_back("Started outside the machine's process table");
  }
  lines.push_back("Program: " + record.value("program", ""));
  std::string arguments;
  for (const auto& a : record.value("arguments", json::array())) {
    arguments += (arguments.empty() ? "" : " ") + a.get<std::string>();
  }
  lines.push_back("Arguments: " + (arguments.empty() ? std::string("none") : arguments));
  if (standsFor == "System Information") {
    for (const auto& [label, name] :
         {std::pair{"Computer name", L"COMPUTERNAME"}, std::pair{"Processor architecture", L"PROCESSOR_ARCHITECTURE"},
          std::pair{"Processors", L"NUMBER_OF_PROCESSORS"}}) {
      if (const auto value = platform::GetMachineEnvironmentVariable(name)) {
        lines.push_back(fmt::format("{}: {}", label, platform::WideToUtf8(*value)));
      }
    }
  }
  return lines;
}

bool AwaitEnd(platform::HANDLE endRequest, DWORD checkMs) {
  const auto profile = platform::CurrentMachine().Root() / "machine.json";
  while (true) {
    const DWORD wait = platform::WaitForSingleObject(endRequest, checkMs);
    if (wait == platform::WAIT_OBJECT_0) return true;
    std::error_code ec;
    if (wait != platform::WAIT_TIMEOUT || !std::filesystem::exists(profile, ec)) return false;
  }
}

void PrintUsage(std::ostream& out) {
  out << "usage: korvo-companion [ARGS...]\n"
         "Stands in for a program the service starts on the user's desktop, by its own file name:\n"
         "  msinfo32.exe      System Information\n"
         "  control.exe       Power Options (with /name Microsoft.PowerOptions), else Control Panel\n"
         "  KorvoPeltry.exe   Korvo hotkey notifications\n"
         "  Rennet.exe        USB Type-C configuration\n"
         "  any other name    Korvo companion\n"
         "It works on the machine at $KORVO_MACHINE_ROOT (else the per-user default), finds its row of\n"
         "the machine's process table, and writes how it was started (program, arguments, user,\n"
         "session, elevation, UI access, environment, start time) to <root>/companions/<pid>.json.\n"
         "Then it shows a small window when DISPLAY or WAYLAND_DISPLAY is set and it was built with\n"
         "Qt, else it waits until it is ended (terminated, or SIGTERM/SIGINT/SIGHUP to end cleanly).\n"
         "Every argument but a lone --help is recorded, not read.\n"
         "`vesk-machine ps --companions` prints the records of the companions that run.\n";
}

int Run(std::span<const std::string> argv, std::ostream& out, std::ostream& err, const Options& options) {
  if (argv.size() == 2 && argv[1] == "--help") {
    PrintUsage(out);
    return kExitOk;
  }
  ordered_json record;
  try {
    Start start;
    start.startTime = NowUtc();
    start.processId = platform::GetCurrentProcessId();
    if (!argv.empty()) {
      start.hostProgram = argv[0];
      start.arguments.assign(argv.begin() + 1, argv.end());
    }
    start.environment = platform::ProcessEnvironment();
    start.entry = FindOwnEntry(start.processId, options.entryWaitMs);
    record = MakeRecord(start);
    WriteRecord(record);
  } catch (const std::exception& e) {
    err << "korvo-companion: " << e.what() << "\n";
    return kExitFailed;
  }
  if (options.window) return options.window(record, options.endRequest);
  AwaitEnd(options.endRequest);
  return kExitOk;
}

}  // namespace tools::companion
