// The machine's journal of outside components: every firmware command and every device
// request the machine answers is appended to <root>/journal.jsonl, one JSON object a
// line, so that a test or a person can see exactly what the system asked and what it got:
//
//   {"timeMs":1200,"kind":"firmware","target":"VantorCommand","call":"Get",
//    "args":{"command":"HotKeys.SingleScanCode"},"result":"0x00000000","pid":4242}
//
// `timeMs` is the machine clock's interrupt time in milliseconds (virtual time under a
// virtual clock). Appends from several processes of one root never interleave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace platform::journal {

struct Entry {
  std::uint64_t timeMs = 0;
  std::string kind;    // "firmware" or "device"
  std::string target;  // the component ("VantorCommand", ...) or the device path
  std::string call;    // the method, or the control code as "0x93000010"
  nlohmann::ordered_json args = nlohmann::ordered_json::object();  // what the caller passed
  std::string result;  // "0x%08X" of the HRESULT or Win32 code, or what the driver did
  std::uint32_t pid = 0;
};

// Appends one entry; timeMs and pid are filled in here. A journal that cannot be
// written is reported once on the debug output and otherwise ignored: the calls it
// records do not fail because of it.
void Append(Entry entry);

struct Journal {
  std::vector<Entry> entries;
  std::vector<std::size_t> unreadableLines;  // 1-based line numbers
};
// The whole journal of the current machine (empty when nothing was journalled).
Journal Read();
// Only the entries of one kind ("firmware" or "device").
std::vector<Entry> Read(const std::string& kind);

}  // namespace platform::journal
