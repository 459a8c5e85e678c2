#include "platform/journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

#include "platform/debug.h"
#include "platform/machine.h"
#include "platform/src/host/fd.h"
#include "platform/src/host/files.h"

namespace platform::journal {
namespace {

constexpr const char* kJournalFile = "journal.jsonl";

std::filesystem::path JournalPath() {
  return CurrentMachine().Root() / kJournalFile;
}

nlohmann::ordered_json ToJson(const Entry& e) {
  nlohmann::ordered_json line;
  line["timeMs"] = e.timeMs;
  line["kind"] = e.kind;
  line["target"] = e.target;
  line["call"] = e.call;
  line["args"] = e.args;
  line["result"] = e.result;
  line["pid"] = e.pid;
  return line;
}

std::optional<Entry> ParseLine(std::string_view text) {
  // Ordered, so that the arguments read back in the order they were written.
  const auto line = nlohmann::ordered_json::parse(text, nullptr, false);
  if (!line.is_object()) return std::nullopt;
  try {
    Entry e;
    e.timeMs = line.at("timeMs").get<std::uint64_t>();
    e.kind = line.at("kind").get<std::string>();
    e.target = line.at("target").get<std::string>();
    e.call = line.at("call").get<std::string>();
    e.args = line.value("args", nlohmann::ordered_json::object());
    e.result = line.at("result").get<std::string>();
    e.pid = line.value("pid", 0u);
    return e;
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

}  // namespace

void Append(Entry entry) {
  Machine& machine = CurrentMachine();
  entry.timeMs = machine.GetClock().InterruptTime100ns() / 10'000;
  entry.pid = static_cast<std::uint32_t>(::getpid());
  std::string line = ToJson(entry).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  line.push_back('\n');
  const auto path = machine.Root() / kJournalFile;
  // One write of the whole line under the lock, so that appends of other processes
  // cannot get between its parts.
  try {
    host::LockFile lock(path, host::LockFile::Mode::kExclusive);
    host::UniqueFd file(
        host::RetryOnEintr([&] { return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644); }));
    if (file.valid() && host::WriteAll(file.get(), line.data(), line.size())) return;
  } catch (const std::system_error&) {
  }
  // Once per process: a journal that cannot be written must not flood the debug output.
  static std::atomic<bool> reported{false};
  if (!reported.exchange(true)) {
    OutputDebugString((L"journal: cannot append to " + path.wstring() + L"\n").c_str());
  }
}

Journal Read() {
  Journal journal;
  const auto path = JournalPath();
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return journal;
  std::optional<std::string> text;
  {
    host::LockFile lock(path, host::LockFile::Mode::kShared);
    text = host::ReadFile(path);
  }
  if (!text) return journal;
  std::size_t start = 0;
  for (std::size_t number = 1; start < text->size(); ++number) {
    std::size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    const auto line = std::string_view(*text).substr(start, end - start);
    if (auto entry = ParseLine(line)) {
      journal.entries.push_back(std::move(*entry));
    } else if (!line.empty()) {
      journal.unreadableLines.push_back(number);
    }
    start = end + 1;
  }
  return journal;
}

std::vector<Entry> Read(const std::string& kind) {
  std::vector<Entry> out;
  for (auto& e : Read().entries) {
    if (e.kind == kind) out.push_back(std::move(e));
  }
  return out;
}

}  // namespace platform::journal
