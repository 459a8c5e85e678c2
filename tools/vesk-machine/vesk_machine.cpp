// vesk-machine: the administrator's tool for a machine root (registry, event log, ...).
//
//   vesk-machine [--root DIR] VERB [ARGS...]
//
// Exit codes: 0 done, 1 not found or failed, 2 usage error. Each verb is one entry in
// kVerbs below; a verb with sub-verbs (reg, firmware) has a table of its own.
#include "tools/vesk-machine/vesk_machine.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <fmt/format.h>
#include <fmt/ostream.h>
#include <nlohmann/json.hpp>

#include "platform/devices.h"
#include "platform/eventlog.h"
#include "platform/firmware.h"
#include "platform/journal.h"
#include "platform/machine.h"
#include "platform/registry.h"
#include "platform/scm.h"
#include "platform/sessions.h"
#include "platform/text.h"
#include "platform/version.h"
#include "platform/wmi.h"
#include "service/sysinfo/wmi_data.h"
#include "tools/companion/companion.h"

namespace tools::vesk_machine {
namespace {

using cli::Args;
using cli::Fail;
using cli::ParseDword;
using cli::Usage;
using platform::DWORD;
using platform::LSTATUS;

constexpr int kOk = cli::kExitOk;

// --- reg ------------------------------------------------------------------------------

// "HKLM\Software\..." or "Software\..." as a path below HKEY_LOCAL_MACHINE.
std::wstring KeyPathArg(std::string_view arg) {
  std::wstring key = platform::Utf8ToWide(arg);
  for (std::wstring_view hive : {L"HKEY_LOCAL_MACHINE", L"HKLM"}) {
    if (key.size() >= hive.size() && platform::EqualsNoCase(std::wstring_view(key).substr(0, hive.size()), hive) &&
        (key.size() == hive.size() || key[hive.size()] == L'\\')) {
      key.erase(0, std::min(key.size(), hive.size() + 1));
      return key;
    }
  }
  for (std::wstring_view other : {L"HKCU", L"HKCR", L"HKU", L"HKCC", L"HKEY_"}) {
    if (key.size() >= other.size() && platform::EqualsNoCase(std::wstring_view(key).substr(0, other.size()), other) &&
        (other == L"HKEY_" || key.size() == other.size() || key[other.size()] == L'\\')) {
      Usage(fmt::format("only HKLM is simulated: {}", arg));
    }
  }
  return key;
}

std::string ShownKey(const std::wstring& key) {
  return key.empty() ? "HKLM" : "HKLM\\" + platform::WideToUtf8(key);
}

const char* TypeName(DWORD type) {
  switch (type) {
    case platform::REG_SZ:
      return "REG_SZ";
    case platform::REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case platform::REG_DWORD:
      return "REG_DWORD";
    case platform::REG_QWORD:
      return "REG_QWORD";
    case platform::REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    case platform::REG_BINARY:
      return "REG_BINARY";
    default:
      return "REG_NONE";
  }
}

std::wstring WideText(const std::vector<platform::BYTE>& data) {
  std::wstring text(data.size() / sizeof(wchar_t), L'\0');
  std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
  return text;
}

std::string FormatData(DWORD type, const std::vector<platform::BYTE>& data) {
  switch (type) {
    case platform::REG_SZ:
    case platform::REG_EXPAND_SZ: {
      std::wstring text = WideText(data);
      if (auto nul = text.find(L'\0'); nul != std::wstring::npos) text.resize(nul);
      return platform::WideToUtf8(text);
    }
    case platform::REG_MULTI_SZ: {
      std::wstring all = WideText(data);
      std::string out;
      std::size_t start = 0;
      while (start < all.size() && all[start] != L'\0') {
        std::size_t end = std::min(all.find(L'\0', start), all.size());
        if (!out.empty()) out += " | ";
        out += platform::WideToUtf8(std::wstring_view(all).substr(start, end - start));
        start = end + 1;
      }
      return out;
    }
    case platform::REG_DWORD:
      if (data.size() == 4) {
        DWORD v;
        std::memcpy(&v, data.data(), 4);
        return fmt::format("0x{:08X} ({})", v, v);
      }
      break;
    case platform::REG_QWORD:
      if (data.size() == 8) {
        std::uint64_t v;
        std::memcpy(&v, data.data(), 8);
        return fmt::format("0x{:016X} ({})", v, v);
      }
      break;
    default:
      break;
  }
  std::string hex;
  for (auto b : data) hex += fmt::format("{:02X}", b);
  return hex;
}

void PrintValue(std::ostream& out, const std::wstring& name, DWORD type, const std::vector<platform::BYTE>& data) {
  fmt::print(out, "{}    {}    {}\n", name.empty() ? "(Default)" : platform::WideToUtf8(name), TypeName(type),
             FormatData(type, data));
}

// A registry call that failed: a damaged registry.json is named with what is wrong
// with it, anything else by its code.
[[noreturn]] void FailRegistry(LSTATUS status, const std::string& what) {
  if (status == platform::ERROR_BADDB) Fail(platform::registry::Damage());
  Fail(fmt::format("{} (error {})", what, status));
}

class OpenKey {
 public:
  OpenKey(const std::wstring& path, platform::REGSAM access) : path_(path) {
    LSTATUS s = platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &key_);
    if (s == platform::ERROR_FILE_NOT_FOUND) Fail(fmt::format("key not found: {}", ShownKey(path)));
    if (s != platform::ERROR_SUCCESS) FailRegistry(s, fmt::format("cannot open {}", ShownKey(path)));
  }
  ~OpenKey() { platform::RegCloseKey(key_); }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  platform::HKEY get() const { return key_; }

 private:
  std::wstring path_;
  platform::HKEY key_ = nullptr;
};

// The name as the registry spells it (lookups ignore letter case, the listing should not).
std::wstring StoredValueName(platform::HKEY key, const std::wstring& name) {
  wchar_t stored[16384];
  for (DWORD index = 0;; ++index) {
    DWORD length = std::size(stored);
    if (platform::RegEnumValue(key, index, stored, &length, nullptr, nullptr, nullptr, nullptr) !=
        platform::ERROR_SUCCESS) {
      return name;
    }
    if (platform::EqualsNoCase(std::wstring_view(stored, length), name)) return std::wstring(stored, length);
  }
}

int RegGet(Args args, std::ostream& out, std::ostream&) {
  if (args.empty() || args.size() > 2) Usage("reg get needs KEY and at most one VALUE");
  const std::wstring keyPath = KeyPathArg(args[0]);
  OpenKey key(keyPath, platform::KEY_READ);
  if (args.size() == 2) {
    const std::wstring name = platform::Utf8ToWide(args[1]);
    DWORD type = 0, size = 0;
    LSTATUS s = platform::RegQueryValueEx(key.get(), name.c_str(), nullptr, &type, nullptr, &size);
    std::vector<platform::BYTE> data(size);
    if (s == platform::ERROR_SUCCESS) {
      s = platform::RegQueryValueEx(key.get(), name.c_str(), nullptr, &type, data.data(), &size);
    }
    if (s == platform::ERROR_FILE_NOT_FOUND) Fail(fmt::format("value not found: {}\\{}", ShownKey(keyPath), args[1]));
    if (s != platform::ERROR_SUCCESS) FailRegistry(s, fmt::format("cannot read {}\\{}", ShownKey(keyPath), args[1]));
    data.resize(size);
    PrintValue(out, StoredValueName(key.get(), name), type, data);
    return kOk;
  }
  for (DWORD index = 0;; ++index) {
    wchar_t name[16384];
    DWORD nameLength = std::size(name), type = 0, size = 0;
    LSTATUS s = platform::RegEnumValue(key.get(), index, name, &nameLength, nullptr, &type, nullptr, &size);
    if (s == platform::ERROR_NO_MORE_ITEMS) break;
    std::vector<platform::BYTE> data(size);
    if (s == platform::ERROR_SUCCESS) {
      nameLength = std::size(name);
      s = platform::RegEnumValue(key.get(), index, name, &nameLength, nullptr, &type, data.data(), &size);
    }
    if (s != platform::ERROR_SUCCESS) FailRegistry(s, fmt::format("cannot list {}", ShownKey(keyPath)));
    data.resize(size);
    PrintValue(out, std::wstring(name, nameLength), type, data);
  }
  return kOk;
}

int RegSet(Args args, std::ostream&, std::ostream&) {
  if (args.size() != 4) Usage("reg set needs KEY VALUE and one of --sz TEXT or --dword N");
  const std::wstring keyPath = KeyPathArg(args[0]);
  const std::wstring name = platform::Utf8ToWide(args[1]);
  LSTATUS s;
  if (args[2] == "--sz") {
    s = platform::registry::SetString(keyPath, name, platform::Utf8ToWide(args[3]));
  } else if (args[2] == "--dword") {
    auto v = ParseDword(args[3]);
    if (!v) Usage(fmt::format("not a 32-bit number (decimal or 0x hex): {}", args[3]));
    s = platform::registry::SetDword(keyPath, name, *v);
  } else {
    Usage(fmt::format("unknown option for reg set: {} (use --sz or --dword)", args[2]));
  }
  if (s == platform::ERROR_INVALID_DATA) Fail("registry.json does not parse; fix or remove it before writing");
  if (s != platform::ERROR_SUCCESS) FailRegistry(s, fmt::format("cannot set {}\\{}", ShownKey(keyPath), args[1]));
  return kOk;
}

int RegDelete(Args args, std::ostream&, std::ostream&) {
  if (args.size() != 2) Usage("reg delete needs KEY and VALUE");
  const std::wstring keyPath = KeyPathArg(args[0]);
  OpenKey key(keyPath, platform::KEY_SET_VALUE);
  const std::wstring name = platform::Utf8ToWide(args[1]);
  LSTATUS s = platform::RegDeleteValue(key.get(), name.c_str());
  if (s == platform::ERROR_FILE_NOT_FOUND) Fail(fmt::format("value not found: {}\\{}", ShownKey(keyPath), args[1]));
  if (s == platform::ERROR_INVALID_DATA) Fail("registry.json does not parse; fix or remove it before writing");
  if (s != platform::ERROR_SUCCESS) FailRegistry(s, fmt::format("cannot delete {}\\{}", ShownKey(keyPath), args[1]));
  return kOk;
}

int RegList(Args args, std::ostream& out, std::ostream&) {
  if (!args.empty()) Usage("reg list takes no arguments");
  std::vector<std::wstring> keys;
  try {
    keys = platform::registry::ListKeys();
  } catch (const platform::registry::RegistryError& e) {
    Fail(e.what());
  }
  for (const auto& key : keys) fmt::print(out, "{}\n", ShownKey(key));
  return kOk;
}

const cli::Verb kRegVerbs[] = {
    {"get", "KEY [VALUE]", "print one value, or every value of KEY", RegGet},
    {"set", "KEY VALUE (--sz TEXT | --dword N)", "set a string or a 32-bit number (N decimal or 0x hex)", RegSet},
    {"delete", "KEY VALUE", "delete a value", RegDelete},
    {"list", "", "print every key", RegList},
};

// --- events, root --------------------------------------------------------------------

int Events(Args args, std::ostream& out, std::ostream&) {
  std::optional<std::wstring> source;
  std::optional<std::size_t> tail;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--source" || args[i] == "--tail") {
      if (i + 1 == args.size()) Usage(fmt::format("{} needs a value", args[i]));
      if (args[i] == "--source") {
        source = platform::Utf8ToWide(args[++i]);
      } else {
        auto n = ParseDword(args[++i]);
        if (!n) Usage(fmt::format("not a number: {}", args[i]));
        tail = *n;
      }
    } else {
      Usage(fmt::format("unknown option for events: {}", args[i]));
    }
  }
  platform::eventlog::Log log;
  try {
    log = platform::eventlog::ReadLog();
  } catch (const std::system_error& e) {
    Fail(e.what());
  }
  auto& events = log.events;
  if (source) {
    std::erase_if(events, [&](const auto& e) { return !platform::EqualsNoCase(e.source, *source); });
  }
  std::size_t first = tail && *tail < events.size() ? events.size() - *tail : 0;
  for (std::size_t i = first; i < events.size(); ++i) {
    const auto& e = events[i];
    std::string strings;
    for (const auto& s : e.strings) {
      if (!strings.empty()) strings += " | ";
      strings += platform::WideToUtf8(s);
    }
    fmt::print(out, "{}  {}  {}  0x{:08X}  {}\n", e.time, platform::eventlog::TypeName(e.type),
               platform::WideToUtf8(e.source), e.eventId, strings);
  }
  if (!log.unreadableLines.empty()) {
    std::string lines;
    for (std::size_t n : log.unreadableLines)
      fmt::format_to(std::back_inserter(lines), "{}{}", lines.empty() ? "" : ", ", n);
    Fail(fmt::format("the event log {} is damaged: cannot read line{} {}",
                     (platform::CurrentMachine().Root() / "eventlog.jsonl").string(),
                     log.unreadableLines.size() == 1 ? "" : "s", lines));
  }
  return kOk;
}

// --- devices -------------------------------------------------------------------------

std::optional<platform::GUID> GuidArg(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return std::nullopt;
  unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
  int used = 0;
  const std::string s(text);
  if (std::sscanf(s.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%n", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                  &b[4], &b[5], &b[6], &b[7], &used) != 11 ||
      used != 36) {
    return std::nullopt;
  }
  platform::GUID g{d1, static_cast<platform::WORD>(d2), static_cast<platform::WORD>(d3), {}};
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<platform::BYTE>(b[i]);
  return g;
}

// What the driver behind `path` received, from the machine's journal: one line per
// control request, with the answer it got.
void PrintReceived(std::ostream& out, const std::vector<platform::journal::Entry>& journal, const std::wstring& path) {
  for (const auto& e : journal) {
    if (!e.call.starts_with("0x") || !platform::EqualsNoCase(platform::Utf8ToWide(e.target), path)) continue;
    const auto text = [&](const char* key) {
      const auto it = e.args.find(key);
      return it == e.args.end() || !it->is_string() || it->get<std::string>().empty() ? std::string("-")
                                                                                      : it->get<std::string>();
    };
    fmt::print(out, "    received {} {} input {} -> {}\n", e.call, text("name"), text("input"), e.result);
  }
}

// Lists the machine's device nodes through the setup API, the way the service sees
// them: instance id, whether it is attached, its compatible drivers and, for an
// interface class, the interface paths with the requests each one's driver received.
int Devices(Args args, std::ostream& out, std::ostream&) {
  using namespace platform;
  bool presentOnly = false;
  std::optional<GUID> interfaceClass;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--present") {
      presentOnly = true;
    } else if (args[i] == "--interface" && i + 1 < args.size()) {
      interfaceClass = GuidArg(args[++i]);
      if (!interfaceClass) Usage(fmt::format("not a GUID: {}", args[i]));
    } else {
      Usage(fmt::format("unknown option for devices: {}", args[i]));
    }
  }

  std::set<DWORD> attached;
  if (HDEVINFO present = SetupDiGetClassDevs(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
      present != INVALID_HANDLE_VALUE) {
    SP_DEVINFO_DATA data{sizeof(SP_DEVINFO_DATA)};
    for (DWORD i = 0; SetupDiEnumDeviceInfo(present, i, &data); ++i) attached.insert(data.DevInst);
    SetupDiDestroyDeviceInfoList(present);
  }

  const auto received = interfaceClass ? journal::Read("device") : std::vector<journal::Entry>();
  const DWORD flags = (interfaceClass ? DIGCF_DEVICEINTERFACE : DIGCF_ALLCLASSES) | (presentOnly ? DIGCF_PRESENT : 0);
  HDEVINFO set = SetupDiGetClassDevs(interfaceClass ? &*interfaceClass : nullptr, nullptr, nullptr, flags);
  if (set == INVALID_HANDLE_VALUE) Fail(fmt::format("cannot list the devices (error {})", GetLastError()));
  SP_DEVINFO_DATA data{sizeof(SP_DEVINFO_DATA)};
  DWORD count = 0;
  for (; SetupDiEnumDeviceInfo(set, count, &data); ++count) {
    wchar_t id[512] = {};
    SetupDiGetDeviceInstanceId(set, &data, id, std::size(id), nullptr);
    fmt::print(out, "{}    {}\n", WideToUtf8(id), attached.contains(data.DevInst) ? "present" : "not present");
    if (!SetupDiBuildDriverInfoList(set, &data, SPDIT_COMPATDRIVER)) {
      fmt::print(out, "    driver list: error {}\n", GetLastError());
    } else {
      SP_DRVINFO_DATA driver{};
      driver.cbSize = sizeof driver;
      DWORD d = 0;
      for (; SetupDiEnumDriverInfo(set, &data, SPDIT_COMPATDRIVER, d, &driver); ++d) {
        const auto v = driver.DriverVersion;
        fmt::print(out, "    driver {} | {} | {} | {}.{}.{}.{} | type {}\n", WideToUtf8(driver.Description),
                   WideToUtf8(driver.MfgName), WideToUtf8(driver.ProviderName), (v >> 48) & 0xFFFF, (v >> 32) & 0xFFFF,
                   (v >> 16) & 0xFFFF, v & 0xFFFF, driver.DriverType);
      }
      if (d == 0) fmt::print(out, "    no compatible driver\n");
    }
    if (interfaceClass) {
      SP_DEVICE_INTERFACE_DATA iface{};
      iface.cbSize = sizeof iface;
      for (DWORD k = 0; SetupDiEnumDeviceInterfaces(set, &data, &*interfaceClass, k, &iface); ++k) {
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetail(set, &iface, nullptr, 0, &needed, nullptr);
        std::vector<std::uint64_t> buffer(needed / sizeof(std::uint64_t) + 1);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA);
        if (needed != 0 && SetupDiGetDeviceInterfaceDetail(set, &iface, detail, needed, nullptr, nullptr)) {
          fmt::print(out, "    interface {}\n", WideToUtf8(detail->DevicePath));
          PrintReceived(out, received, detail->DevicePath);
        } else {
          fmt::print(out, "    interface: error {}\n", GetLastError());
        }
      }
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  if (count == 0) fmt::print(out, "no device nodes\n");
  return kOk;
}

int Root(Args args, std::ostream& out, std::ostream&) {
  if (!args.empty()) Usage("root takes no arguments");
  fmt::print(out, "{}\n", platform::CurrentMachine().Root().string());
  return kOk;
}

// The tool's own version resource, read the way the service reads the versions of the
// programs it starts.
int Version(Args args, std::ostream& out, std::ostream&) {
  if (!args.empty()) Usage("version takes no arguments");
  wchar_t path[4096];
  if (platform::GetModuleFileName(nullptr, path, std::size(path)) >= std::size(path)) {
    Fail("cannot find the running program");
  }
  const DWORD size = platform::GetFileVersionInfoSize(path, nullptr);
  std::vector<std::uint32_t> block((size + 3) / 4);  // aligned for the DWORDs VerQueryValue points at
  void* fixed = nullptr;
  platform::UINT length = 0;
  if (size == 0 || !platform::GetFileVersionInfo(path, 0, size, block.data()) ||
      !platform::VerQueryValue(block.data(), L"\\", &fixed, &length) || length < sizeof(platform::VS_FIXEDFILEINFO)) {
    Fail(fmt::format("no version resource in {} (error {})", platform::WideToUtf8(path), platform::GetLastError()));
  }
  const auto* info = static_cast<const platform::VS_FIXEDFILEINFO*>(fixed);
  fmt::print(out, "vesk-machine {}.{}.{}.{}\n", platform::HIWORD(info->dwFileVersionMS),
             platform::LOWORD(info->dwFileVersionMS), platform::HIWORD(info->dwFileVersionLS),
             platform::LOWORD(info->dwFileVersionLS));
  return kOk;
}

// --- ps, sessions, session -------------------------------------------------------------

// A record's arguments as one line: blanks inside an argument are quoted.
std::string ArgumentsLine(const nlohmann::json& arguments) {
  std::string line;
  for (const auto& a : arguments) {
    const std::string text = a.is_string() ? a.get<std::string>() : a.dump();
    if (!line.empty()) line += ' ';
    line += text.empty() || text.find(' ') != std::string::npos ? "\"" + text + "\"" : text;
  }
  return line;
}

// The records of the companion programs that run, as they wrote them when they started.
void PrintCompanions(std::ostream& out, std::optional<DWORD> session) {
  constexpr std::string_view kRow = "{:>8}  {:<28}  {:<8}  {:>7}  {:<9}  {:<8}  {}\n";
  fmt::print(out, fmt::runtime(kRow), "PID", "STANDS FOR", "USER", "SESSION", "ELEVATION", "UIACCESS",
             "PROGRAM AND ARGUMENTS");
  for (const auto& r : tools::companion::RunningRecords()) {
    if (session && r.value("session", nlohmann::json()) != *session) continue;
    const auto text = [&](const char* key) {
      const auto it = r.find(key);
      return it == r.end() || it->is_null() ? std::string("-") : it->is_string() ? it->get<std::string>() : it->dump();
    };
    const auto uiAccess = r.find("uiAccess");
    std::string line = text("program");
    if (const std::string arguments = ArgumentsLine(r.value("arguments", nlohmann::json::array()));
        !arguments.empty()) {
      line += " " + arguments;
    }
    fmt::print(out, fmt::runtime(kRow), text("pid"), text("standsFor"), text("user"), text("session"),
               text("elevation"),
               uiAccess == r.end() || !uiAccess->is_boolean() ? "-"
               : *uiAccess                                    ? "yes"
                                                              : "no",
               line);
  }
}

int Ps(Args args, std::ostream& out, std::ostream&) {
  std::optional<DWORD> session;
  bool companions = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--companions") {
      companions = true;
    } else if (args[i] == "--session" && i + 1 < args.size()) {
      session = ParseDword(args[++i]);
      if (!session) Usage(fmt::format("not a session id: {}", args[i]));
    } else {
      Usage("ps takes only --session ID and --companions");
    }
  }
  if (companions) {
    PrintCompanions(out, session);
    return kOk;
  }
  constexpr std::string_view kRow = "{:>8}  {:>8}  {:>7}  {:<8}  {:<8}  {:<9}  {:<8}  {:<20}  {}\n";
  fmt::print(out, fmt::runtime(kRow), "PID", "PPID", "SESSION", "USER", "KIND", "ELEVATION", "UIACCESS", "NAME",
             "COMMAND LINE");
  for (const auto& p : platform::machine_sessions::Processes()) {
    if (session && p.sessionId != *session) continue;
    const std::wstring& line = p.commandLine.empty() ? p.path : p.commandLine;
    fmt::print(out, fmt::runtime(kRow), p.processId, p.parentProcessId, p.sessionId,
               p.user.empty() ? "-" : platform::WideToUtf8(p.user), p.real ? "real" : "declared",
               p.elevationType ? platform::ElevationTypeName(*p.elevationType) : "-", p.uiAccess ? "yes" : "no",
               platform::WideToUtf8(p.name), platform::WideToUtf8(line));
  }
  return kOk;
}

int Sessions(Args args, std::ostream& out, std::ostream&) {
  if (!args.empty()) Usage("sessions takes no arguments");
  fmt::print(out, "{:>4}  {:<14}  {:<12}  {:<10}  {}\n", "ID", "STATION", "STATE", "USER", "FLAGS");
  for (const auto& s : platform::machine_sessions::Sessions()) {
    std::string flags;
    if (s.console) flags += "console ";
    if (s.locked) flags += "locked";
    fmt::print(out, "{:>4}  {:<14}  {:<12}  {:<10}  {}\n", s.id, platform::WideToUtf8(s.station),
               platform::SessionStateName(s.state), s.user.empty() ? "-" : platform::WideToUtf8(s.user), flags);
  }
  return kOk;
}

// Hands a session change to `service` the way the system does, when it runs.
void DeliverSessionChange(std::ostream& out, std::ostream& err, const std::wstring& service, DWORD eventType,
                          DWORD sessionId) {
  const std::string name = platform::WideToUtf8(service);
  platform::SC_HANDLE manager = platform::OpenSCManager(nullptr, nullptr, platform::SC_MANAGER_CONNECT);
  platform::SC_HANDLE handle =
      manager != nullptr
          ? platform::OpenService(manager, service.c_str(),
                                  platform::SERVICE_QUERY_STATUS | platform::SERVICE_USER_DEFINED_CONTROL)
          : nullptr;
  platform::SERVICE_STATUS status{};
  if (handle == nullptr || !platform::QueryServiceStatus(handle, &status) ||
      status.dwCurrentState != platform::SERVICE_RUNNING) {
    fmt::print(out, "{} is not running: no session change delivered\n", name);
  } else if (!platform::ControlServiceWithEvent(handle, platform::SERVICE_CONTROL_SESSIONCHANGE, eventType, sessionId,
                                                &status)) {
    fmt::print(err, "vesk-machine: {} refused the session change (error {})\n", name, platform::GetLastError());
  } else {
    fmt::print(out, "session change {} of session {} delivered to {}\n", eventType, sessionId, name);
  }
  if (handle != nullptr) platform::CloseServiceHandle(handle);
  if (manager != nullptr) platform::CloseServiceHandle(manager);
}

int Session(Args args, std::ostream& out, std::ostream& err) {
  std::wstring service = L"Varnel";
  std::vector<std::string_view> words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--service") {
      if (i + 1 == args.size()) Usage("--service needs a service name");
      service = platform::Utf8ToWide(args[++i]);
    } else {
      words.push_back(args[i]);
    }
  }
  if (words.size() < 2) Usage("session needs a change and a session id (see help session)");
  const std::string_view change = words[0];
  const auto id = ParseDword(words[1]);
  if (!id) Usage(fmt::format("not a session id: {}", words[1]));
  const bool logon = change == "logon";
  if (words.size() != (logon ? 3u : 2u)) {
    Usage(logon ? "session logon needs ID and USER" : fmt::format("session {} takes only ID", change));
  }
  std::string error;
  DWORD event = 0;
  namespace ms = platform::machine_sessions;
  if (logon) {
    event = ms::LogOn(*id, platform::Utf8ToWide(words[2]), &error);
  } else if (change == "logoff") {
    event = ms::LogOff(*id, &error);
  } else if (change == "lock") {
    event = ms::Lock(*id, &error);
  } else if (change == "unlock") {
    event = ms::Unlock(*id, &error);
  } else if (change == "connect") {
    event = ms::Connect(*id, &error);
  } else if (change == "disconnect") {
    event = ms::Disconnect(*id, &error);
  } else {
    Usage(fmt::format("unknown session change: {} (logon, logoff, lock, unlock, connect, disconnect)", change));
  }
  if (event == 0) Fail(error);
  fmt::print(out, "session {}: {}\n", *id, change);
  DeliverSessionChange(out, err, service, event, *id);
  return kOk;
}

// --- sysinfo -----------------------------------------------------------------------------

// Why a read left the record empty: the first of the three namespaces that cannot be
// opened, else the status the read ended with.
std::string EmptyRecordReason(platform::HRESULT readResult) {
  using namespace platform;
  ComPtr<IWbemLocator> locator;
  HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<LPVOID*>(locator.GetAddressOf()));
  if (FAILED(hr)) return fmt::format("the WMI locator cannot be created (0x{:08X})", static_cast<DWORD>(hr));
  for (const wchar_t* name : {L"ROOT\\wmi", L"ROOT\\CIMV2", L"ROOT\\korvo\\instrumentedbios"}) {
    ComPtr<IWbemServices> services;
    hr = locator->ConnectServer(BStr(name).Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                services.GetAddressOf());
    if (FAILED(hr)) {
      return fmt::format("the namespace {} cannot be opened (0x{:08X})", WideToUtf8(name), static_cast<DWORD>(hr));
    }
  }
  return fmt::format("the read stopped early (0x{:08X}); the service log says where", static_cast<DWORD>(readResult));
}

int SysInfo(Args args, std::ostream& out, std::ostream& err) {
  bool json = false;
  for (auto a : args) {
    if (a != "--json") Usage(fmt::format("unknown option for sysinfo: {}", a));
    json = true;
  }
  RpcServer::WMIData data;
  const platform::HRESULT hr = data.ReadSysInfo();
  if (data.m_csSysInfo.empty()) {
    fmt::print(err, "vesk-machine: the system information record is empty: {}\n", EmptyRecordReason(hr));
    return kExitEmptyRecord;
  }
  // In the order of the record.
  const std::pair<const char*, const std::wstring*> fields[] = {
      {"productName", &data.m_csProductName},
      {"sku", &data.m_csSKU},
      {"buildId", &data.m_csBuildID},
      {"memory", &data.m_csMemory},
      {"processor", &data.m_csProcessor},
      {"biosVersion", &data.m_csBIOSVersion},
      {"boardVersion", &data.m_csBaseBoardVersion},
      {"serialNumber", &data.m_csSerialNumber},
      {"featureByte", &data.m_csFeatureByte},
      {"passwordStatus", &data.m_csPasswordStatus},
  };
  if (json) {
    nlohmann::ordered_json record;
    for (const auto& [name, value] : fields) record[name] = platform::WideToUtf8(*value);
    fmt::print(out, "{}\n", record.dump(2));
    return kOk;
  }
  fmt::print(out, "{}\n\n", platform::WideToUtf8(data.m_csSysInfo));
  for (const auto& [name, value] : fields) fmt::print(out, "{:<15} {}\n", name, platform::WideToUtf8(*value));
  return kOk;
}

// --- firmware ------------------------------------------------------------------------------

void RequireSettingName(std::string_view name) {
  const auto& names = platform::firmware::SettingNames();
  if (std::find(names.begin(), names.end(), name) != names.end()) return;
  std::string known;
  for (const auto& n : names) known += (known.empty() ? "" : ", ") + n;
  Usage(fmt::format("not a firmware setting: {} (one of {})", name, known));
}

int FirmwareShow(Args args, std::ostream& out, std::ostream&) {
  if (!args.empty()) Usage("firmware show takes no arguments");
  namespace fw = platform::firmware;
  fmt::print(out, "settings:\n");
  const auto settings = fw::Settings();
  if (settings.empty()) fmt::print(out, "  none\n");
  for (const auto& [name, value] : settings) {
    fmt::print(out, "  {:<34} {:<8} {}\n", name, fw::IsWritten(name) ? "written" : "profile", value.dump());
  }
  fmt::print(out, "components:\n");
  for (const auto& c : fw::Components()) {
    fmt::print(out, "  {:<22} {}\n", c.name, c.present ? "present, " + c.registration : "absent");
  }
  return kOk;
}

int FirmwareGet(Args args, std::ostream& out, std::ostream&) {
  if (args.size() != 1) Usage("firmware get needs NAME");
  RequireSettingName(args[0]);
  const auto value = platform::firmware::GetSetting(args[0]);
  if (!value) Fail(fmt::format("{} is not set on this machine", args[0]));
  // Text as it is, so that a script gets the XML or the record itself.
  fmt::print(out, "{}\n", value->is_string() ? value->get<std::string>() : value->dump());
  return kOk;
}

int FirmwareSet(Args args, std::ostream&, std::ostream&) {
  if (args.size() != 2) Usage("firmware set needs NAME and VALUE");
  RequireSettingName(args[0]);
  auto value = nlohmann::json::parse(args[1], nullptr, false);
  if (value.is_discarded()) value = std::string(args[1]);
  std::string error;
  if (!platform::firmware::CheckSetting(args[0], value, &error)) Usage(error);
  if (!platform::firmware::SetSetting(args[0], value, &error)) Fail(error);
  return kOk;
}

int FirmwareJournal(Args args, std::ostream& out, std::ostream&) {
  if (!args.empty()) Usage("firmware journal takes no arguments");
  platform::journal::Journal journal;
  try {
    journal = platform::journal::Read();
  } catch (const std::system_error& e) {
    Fail(e.what());
  }
  for (const auto& e : journal.entries) {
    if (e.kind != "firmware") continue;
    std::string args;
    for (const auto& [key, value] : e.args.items()) {
      fmt::format_to(std::back_inserter(args), "{}{}={}", args.empty() ? "" : ", ", key, value.dump());
    }
    fmt::print(out, "{} ms  {}.{}({}) -> {}\n", e.timeMs, e.target, e.call, args, e.result);
  }
  if (!journal.unreadableLines.empty()) {
    std::string lines;
    for (std::size_t n : journal.unreadableLines)
      fmt::format_to(std::back_inserter(lines), "{}{}", lines.empty() ? "" : ", ", n);
    Fail(fmt::format("the journal {} is damaged: cannot read line{} {}",
                     (platform::CurrentMachine().Root() / "journal.jsonl").string(),
                     journal.unreadableLines.size() == 1 ? "" : "s", lines));
  }
  return kOk;
}

const cli::Verb kFirmwareVerbs[] = {
    {"show", "", "print the settings (value, and whether written on this machine) and the components", FirmwareShow},
    {"get", "NAME", "print one setting's value (exit 1: not set)", FirmwareGet},
    {"set", "NAME VALUE", "write a setting on this machine, as the components do", FirmwareSet},
    {"journal", "", "print every call the firmware components answered, oldest first", FirmwareJournal},
};

int Help(Args args, std::ostream& out, std::ostream& err);
int Reg(Args args, std::ostream& out, std::ostream& err);
int Firmware(Args args, std::ostream& out, std::ostream& err);

const cli::Verb kVerbs[] = {
    {"reg", "(get | set | delete | list) ...", "read and change HKEY_LOCAL_MACHINE", Reg},
    {"events", "[--source NAME] [--tail N]", "print the event log, oldest first", Events},
    {"ps", "[--session ID] [--companions]",
     "print the machine's processes (declared and started ones) with the elevation and UI access they were started "
     "with; with --companions, how each running companion program was started",
     Ps},
    {"sessions", "", "print the machine's terminal sessions", Sessions},
    {"session", "(logon ID USER | logoff ID | lock ID | unlock ID | connect ID | disconnect ID) [--service NAME]",
     "change a session and deliver the session change to the service (default Varnel) when it runs", Session},
    {"devices", "[--present] [--interface GUID]",
     "list the device nodes and their compatible drivers; with --interface, the interface paths and the control "
     "requests each one's driver received",
     Devices},
    {"firmware", "(show | get | set | journal) ...", "the firmware components' settings and journal", Firmware},
    {"sysinfo", "[--json]",
     "read the system information as the service does and print the record and its fields (exit 3: empty record)",
     SysInfo},
    {"root", "", "print the machine root folder", Root},
    {"version", "", "print the tool's file version", Version},
    {"help", "[VERB]", "print usage", Help, true},
};

void PrintVerb(std::ostream& out, std::string_view prefix, const cli::Verb& verb) {
  std::string line = fmt::format("  vesk-machine {}{}", prefix, verb.name);
  if (!verb.synopsis.empty()) line += fmt::format(" {}", verb.synopsis);
  fmt::print(out, "{}\n      {}\n", line, verb.summary);
}

// A verb with sub-verbs of its own, and what its help adds after them.
struct VerbGroup {
  std::string_view name;
  std::span<const cli::Verb> verbs;
  std::string_view note;
};

const VerbGroup kGroups[] = {
    {"reg", kRegVerbs, "  KEY is HKLM\\SOFTWARE\\... or SOFTWARE\\... (letter case does not matter)\n"},
    {"firmware", kFirmwareVerbs,
     "  firmware alone is firmware show; VALUE is read as JSON when it parses (110, true, \"text\"), else as text\n"},
};

const VerbGroup* FindGroup(std::string_view name) {
  for (const auto& g : kGroups) {
    if (g.name == name) return &g;
  }
  return nullptr;
}

void PrintGroupUsage(std::ostream& out, const VerbGroup& group) {
  const std::string prefix = std::string(group.name) + " ";
  for (const auto& v : group.verbs) PrintVerb(out, prefix, v);
  fmt::print(out, "{}", group.note);
}

void PrintUsage(std::ostream& out) {
  fmt::print(out,
             "usage: vesk-machine [--root DIR] VERB [ARGS...]\n"
             "Administers a simulated machine: the one at --root DIR, else $KORVO_MACHINE_ROOT,\n"
             "else the per-user default.\n\nverbs:\n");
  for (const auto& v : kVerbs) {
    if (const VerbGroup* group = FindGroup(v.name)) {
      PrintGroupUsage(out, *group);
    } else {
      PrintVerb(out, "", v);
    }
  }
  fmt::print(out,
             "\noptions:\n  --root DIR    use the machine at DIR\n  --help        print this text\n"
             "\nexit codes: 0 done, 1 not found or failed, 2 usage error, 3 sysinfo read an empty record\n");
}

const cli::Verb& SubVerb(const VerbGroup& group, std::string_view name) {
  const cli::Verb* sub = cli::FindVerb(group.verbs, name);
  if (sub == nullptr) Usage(fmt::format("unknown verb: {} {}", group.name, name));
  return *sub;
}

int Help(Args args, std::ostream& out, std::ostream&) {
  if (args.empty()) {
    PrintUsage(out);
    return kOk;
  }
  if (args.size() > 2) Usage("help takes one VERB");
  const cli::Verb* verb = cli::FindVerb(kVerbs, args[0]);
  if (verb == nullptr) Usage(fmt::format("unknown verb: {}", args[0]));
  if (const VerbGroup* group = FindGroup(verb->name)) {
    if (args.size() == 2) {
      PrintVerb(out, std::string(group->name) + " ", SubVerb(*group, args[1]));
    } else {
      PrintGroupUsage(out, *group);
    }
    return kOk;
  }
  PrintVerb(out, "", *verb);
  return kOk;
}

// "VERB ... --help": the verb's usage; for a verb with sub-verbs, the sub-verb's (all
// of them when none is named).
void PrintVerbUsage(const cli::Verb& verb, Args args, std::ostream& out) {
  const VerbGroup* group = FindGroup(verb.name);
  if (group == nullptr) {
    PrintVerb(out, "", verb);
  } else if (args[0] == "--help") {
    PrintGroupUsage(out, *group);
  } else {
    PrintVerb(out, std::string(group->name) + " ", SubVerb(*group, args[0]));
  }
}

int Reg(Args args, std::ostream& out, std::ostream& err) {
  if (args.empty()) Usage("reg needs one of: get, set, delete, list");
  return SubVerb(kGroups[0], args[0]).run(args.subspan(1), out, err);
}

int Firmware(Args args, std::ostream& out, std::ostream& err) {
  if (args.empty()) return FirmwareShow(args, out, err);
  return SubVerb(kGroups[1], args[0]).run(args.subspan(1), out, err);
}

}  // namespace

int Run(Args args, std::ostream& out, std::ostream& err) {
  const cli::Tool tool{"vesk-machine", kVerbs, {}, PrintUsage, PrintVerbUsage};
  return cli::Run(tool, args, out, err);
}

}  // namespace tools::vesk_machine
