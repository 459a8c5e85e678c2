// korvo-companion: the one program of ours that stands in for every program the service
// starts on the user's desktop (System Information, Power Options, the hotkey
// notifications, the USB Type-C configuration). It knows which one it is by its own file
// name, records how it was started in <root>/companions/<pid>.json, and then shows a small
// window or, without a display, waits until it is ended. The logic is this library, so
// that tests run it in-process; main.cpp adds the window.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/sessions.h"
#include "platform/types.h"

namespace tools::companion {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;

// What the program stands for, by its own file name (letter case aside): msinfo32.exe
// "System Information", control.exe "Power Options" with a /name argument and "Control
// Panel" without, KorvoPeltry.exe "Korvo hotkey notifications", Rennet.exe "USB Type-C
// configuration", any other name "Korvo companion".
std::string StandsFor(std::string_view fileName, const std::vector<std::string>& arguments);

// How a companion was started.
struct Start {
  platform::DWORD processId = 0;
  std::string hostProgram;                        // argv[0]: the host path it was started by
  std::vector<std::string> arguments;             // as received, argv[0] left out
  std::vector<std::wstring> environment;          // "NAME=value"
  std::optional<platform::MachineProcess> entry;  // its row of the machine's process table
  std::string startTime;                          // UTC, ISO 8601, on the machine's clock
};

// The record of <root>/companions/<pid>.json. Without a row in the process table (a
// companion started by hand) the facts only the table knows are null.
nlohmann::ordered_json MakeRecord(const Start& start);

// This process's row of the machine's process table. Whoever started it records the
// row only once the program runs, so it is looked for again for up to `waitMs` (on the
// machine's clock).
std::optional<platform::MachineProcess> FindOwnEntry(platform::DWORD processId, platform::DWORD waitMs);

// <root>/companions of the current machine.
std::filesystem::path RecordsFolder();
// Writes the record whole (a reader never sees half of it); throws std::runtime_error.
std::filesystem::path WriteRecord(const nlohmann::ordered_json& record);

// The records of companions that are still in the machine's process table, by pid. A
// record whose pid now names another program (or that does not parse) is left out.
std::vector<nlohmann::json> RunningRecords();

// What the window says: what the program stands for, who started it and how, and for
// System Information a few of the machine's facts.
std::vector<std::string> WindowLines(const nlohmann::json& record);

// Blocks until `endRequest` is signalled (true) or the machine root is gone (false): a
// companion of a test's temporary machine must not outlive it. Looks at the root every
// `checkMs`.
bool AwaitEnd(platform::HANDLE endRequest, platform::DWORD checkMs = 2000);

void PrintUsage(std::ostream& out);

struct Options {
  platform::HANDLE endRequest = nullptr;  // signalled when the program is asked to end
  // Shows the window and returns the exit code when the window closes or the end is
  // requested; null: no display, wait headless.
  std::function<int(const nlohmann::ordered_json& record, platform::HANDLE endRequest)> window;
  platform::DWORD entryWaitMs = 5000;
};

// The whole program: `argv` as main() got it (the program's own path first). --help
// prints the usage; anything else is an argument to record, not an option of ours.
int Run(std::span<const std::string> argv, std::ostream& out, std::ostream& err, const Options& options);

}  // namespace tools::companion
