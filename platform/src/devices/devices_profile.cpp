#include "platform/src/devices/devices_profile.h"

#include <charconv>
#include <cstdio>
#include <cwctype>
#include <set>
#include <utility>

#include "platform/machine.h"
#include "platform/text.h"

namespace platform::devices::detail {
namespace {

using nlohmann::json;

constexpr const char* kNodeFaults[] = {"SetupDiBuildDriverInfoList", "SetupDiEnumDriverInfo"};
constexpr const char* kInterfaceFaults[] = {"SetupDiGetDeviceInterfaceDetail"};

// Days from 1601-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t DaysSince1601(int y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t daysSince1970 = era * 146097 + static_cast<std::int64_t>(doe) - 719468;
  return daysSince1970 + 134774;
}

bool ParseNumber(std::string_view text, unsigned max, unsigned* out) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size() || value > max) return false;
  *out = value;
  return true;
}

bool ParseDate(std::string_view text, FILETIME* out) {
  unsigned y = 0, m = 0, d = 0;
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  if (!ParseNumber(text.substr(0, 4), 9999, &y) || !ParseNumber(text.substr(5, 2), 12, &m) ||
      !ParseNumber(text.substr(8, 2), 31, &d)) {
    return false;
  }
  if (y < 1601 || m == 0 || d == 0) return false;
  static constexpr unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (d > kDays[m - 1] || (m == 2 && d == 29 && !leap)) return false;
  *out = UInt64ToFileTime(static_cast<std::uint64_t>(DaysSince1601(static_cast<int>(y), m, d)) * 864000000000ull);
  return true;
}

// Reads one object of the profile and says where it is when something is wrong.
class Reader {
 public:
  Reader(const json& value, std::string origin, std::string path)
      : value_(value), origin_(std::move(origin)), path_(std::move(path)) {
    if (!value_.is_object()) Fail("must be an object");
  }

  [[noreturn]] void Fail(const std::string& what, const std::string& key = {}) const {
    throw MachineError(origin_ + ": " + (key.empty() ? path_ : path_ + "." + key) + " " + what);
  }

  void OnlyKeys(std::initializer_list<const char*> keys) const {
    for (const auto& [key, v] : value_.items()) {
      bool known = false;
      for (const char* k : keys) known = known || key == k;
      if (!known) Fail("is not a known key", key);
    }
  }

  const json* Find(const char* key) const {
    auto it = value_.find(key);
    return it == value_.end() ? nullptr : &*it;
  }

  std::wstring Text(const char* key, bool required, std::size_t maxChars = 0) const {
    const json* v = Find(key);
    if (v == nullptr) {
      if (required) Fail("is missing", key);
      return {};
    }
    if (!v->is_string()) Fail("must be a string", key);
    std::wstring text = Utf8ToWide(v->get<std::string>());
    if (required && text.empty()) Fail("must not be empty", key);
    if (maxChars != 0 && text.size() > maxChars)
      Fail("is longer than " + std::to_string(maxChars) + " characters", key);
    return text;
  }

  GUID Guid(const char* key, bool required) const {
    GUID guid{};
    const json* v = Find(key);
    if (v == nullptr) {
      if (required) Fail("is missing", key);
      return guid;
    }
    if (!v->is_string() || !ParseGuid(v->get<std::string>(), &guid)) {
      Fail("must be a GUID such as \"{3569DBE5-FA4F-4E7E-96EC-540202073739}\"", key);
    }
    return guid;
  }

  std::map<std::string, DWORD> Faults(std::initializer_list<const char*> calls) const {
    std::map<std::string, DWORD> out;
    const json* v = Find("faults");
    if (v == nullptr) return out;
    if (!v->is_object()) Fail("must be an object of call names and error codes", "faults");
    for (const auto& [call, code] : v->items()) {
      bool known = false;
      for (const char* c : calls) known = known || call == c;
      if (!known) Fail("is not a call that can be made to fail here", "faults." + call);
      if (!code.is_number_unsigned() || code.get<std::uint64_t>() == 0 || code.get<std::uint64_t>() > 0xFFFFFFFFu) {
        Fail("must be a non-zero Win32 error code", "faults." + call);
      }
      out[call] = code.get<DWORD>();
    }
    return out;
  }

  const json& value() const { return value_; }
  const std::string& path() const { return path_; }

 private:
  const json& value_;
  std::string origin_;
  std::string path_;
};

// One answer of an interface's driver: {"kind": ..., "ms": n, "error": code, "count": n}.
IoAnswer ParseAnswer(const Reader& entry) {
  entry.OnlyKeys({"kind", "ms", "error", "count"});
  IoAnswer answer;
  const json* kind = entry.Find("kind");
  if (kind == nullptr) entry.Fail("is missing", "kind");
  static constexpr std::pair<const char*, IoAnswer::Kind> kKinds[] = {{"complete", IoAnswer::Kind::kComplete},
                                                                      {"pend", IoAnswer::Kind::kPend},
                                                                      {"pendForever", IoAnswer::Kind::kPendForever},
                                                                      {"fail", IoAnswer::Kind::kFail}};
  bool known = false;
  for (const auto& [name, value] : kKinds) {
    if (kind->is_string() && kind->get<std::string>() == name) {
      answer.kind = value;
      known = true;
    }
  }
  if (!known) entry.Fail("must be one of complete, pend, pendForever, fail", "kind");

  const json* ms = entry.Find("ms");
  if (answer.kind == IoAnswer::Kind::kPend) {
    if (ms == nullptr) entry.Fail("is missing (kind pend completes after ms milliseconds)", "ms");
    // INFINITE is what pendForever says.
    if (!ms->is_number_unsigned() || ms->get<std::uint64_t>() >= INFINITE) {
      entry.Fail("must be a number of milliseconds below 4294967295", "ms");
    }
    answer.ms = ms->get<DWORD>();
  } else if (ms != nullptr) {
    entry.Fail("is only for kind pend", "ms");
  }

  if (const json* error = entry.Find("error")) {
    if (answer.kind != IoAnswer::Kind::kFail) entry.Fail("is only for kind fail", "error");
    // The code travels in a status word of 16 bits, as the original's do.
    if (!error->is_number_unsigned() || error->get<std::uint64_t>() == 0 || error->get<std::uint64_t>() > 0xFFFF) {
      entry.Fail("must be a Win32 error code from 1 to 65535", "error");
    }
    answer.error = error->get<DWORD>();
  }

  if (const json* count = entry.Find("count")) {
    if (!count->is_number_unsigned()) entry.Fail("must be a number of requests, 0 or more", "count");
    answer.count = count->get<std::uint64_t>();
  }
  return answer;
}

// An interface's "driver": {"default": ANSWER, "ioctls": {"0x93000010": ANSWER, ...}}.
InterfaceDriver ParseDriver(const json& value, const std::string& origin, const std::string& path) {
  Reader driver(value, origin, path);
  driver.OnlyKeys({"default", "ioctls"});
  InterfaceDriver out;
  if (const json* fallback = driver.Find("default"))
    out.fallback = ParseAnswer(Reader(*fallback, origin, path + ".default"));
  if (const json* ioctls = driver.Find("ioctls")) {
    if (!ioctls->is_object()) driver.Fail("must be an object of control codes and answers", "ioctls");
    for (const auto& [text, answer] : ioctls->items()) {
      DWORD code = 0;
      if (!ParseControlCode(text, &code))
        driver.Fail("must be a control code such as \"0x93000010\"", "ioctls." + text);
      if (out.ioctls.contains(code)) driver.Fail("names a control code given before", "ioctls." + text);
      out.ioctls[code] = ParseAnswer(Reader(answer, origin, path + ".ioctls." + text));
    }
  }
  return out;
}

bool ValidInstanceId(const std::wstring& id) {
  if (id.empty() || id.front() == L'\\' || id.back() == L'\\') return false;
  if (id.find(L"\\\\") != std::wstring::npos) return false;
  for (wchar_t c : id) {
    if (c < 0x20 || c == L'/') return false;
  }
  return true;
}

// "\\?\ACPI#QVZC000C#0#{guid}": the form the original gives interface paths.
std::wstring DefaultInterfacePath(const std::wstring& instanceId, const GUID& guid) {
  std::wstring path = L"\\\\?\\";
  for (wchar_t c : instanceId) path.push_back(c == L'\\' ? L'#' : c);
  std::wstring g = GuidToString(guid);
  for (auto& c : g) c = static_cast<wchar_t>(std::towlower(c));
  return path + L"#" + g;
}

}  // namespace

DWORD DeviceNode::Fault(std::string_view call) const {
  auto it = faults.find(std::string(call));
  return it == faults.end() ? NO_ERROR : it->second;
}

bool ParseGuid(std::string_view text, GUID* out) {
  if (text.size() == 38) {
    if (text.front() != '{' || text.back() != '}') return false;
    text = text.substr(1, 36);
  }
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return false;
  auto hex = [&](std::size_t pos, std::size_t len, std::uint64_t* v) {
    auto [end, ec] = std::from_chars(text.data() + pos, text.data() + pos + len, *v, 16);
    return ec == std::errc{} && end == text.data() + pos + len;
  };
  std::uint64_t d1 = 0, d2 = 0, d3 = 0, d4a = 0, d4b = 0;
  if (!hex(0, 8, &d1) || !hex(9, 4, &d2) || !hex(14, 4, &d3) || !hex(19, 4, &d4a) || !hex(24, 12, &d4b)) return false;
  GUID g{};
  g.Data1 = static_cast<DWORD>(d1);
  g.Data2 = static_cast<WORD>(d2);
  g.Data3 = static_cast<WORD>(d3);
  g.Data4[0] = static_cast<BYTE>(d4a >> 8);
  g.Data4[1] = static_cast<BYTE>(d4a);
  for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<BYTE>(d4b >> (8 * (5 - i)));
  *out = g;
  return true;
}

std::wstring GuidToString(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return Utf8ToWide(text);
}

bool ParseControlCode(std::string_view text, DWORD* out) {
  if (text.size() < 3 || text.size() > 10 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
  text.remove_prefix(2);
  DWORD value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc{} || end != text.data() + text.size()) return false;
  *out = value;
  return true;
}

bool ParseDriverVersion(std::string_view text, DWORDLONG* out) {
  DWORDLONG packed = 0;
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = text.find('.');
    const bool last = part == 3;
    if (last != (dot == std::string_view::npos)) return false;
    unsigned value = 0;
    if (!ParseNumber(text.substr(0, dot), 0xFFFF, &value)) return false;
    packed = (packed << 16) | value;
    if (!last) text.remove_prefix(dot + 1);
  }
  *out = packed;
  return true;
}

std::vector<DeviceNode> ParseDeviceNodes(const json& profile, const std::string& origin) {
  std::vector<DeviceNode> nodes;
  auto it = profile.find("devices");
  if (it == profile.end()) return nodes;
  if (!it->is_array()) throw MachineError(origin + ": devices must be an array of device nodes");
  std::set<std::wstring> seen;
  for (std::size_t i = 0; i < it->size(); ++i) {
    Reader node((*it)[i], origin, "devices[" + std::to_string(i) + "]");
    node.OnlyKeys({"instanceId", "present", "classGuid", "interfaces", "drivers", "faults"});
    DeviceNode out;
    out.instanceId = node.Text("instanceId", true);
    if (!ValidInstanceId(out.instanceId)) {
      node.Fail("must be a device instance id such as \"ACPI\\\\QVZC000C\\\\0\"", "instanceId");
    }
    if (!seen.insert(ToUpper(out.instanceId)).second) node.Fail("names a device declared before", "instanceId");
    if (const json* present = node.Find("present")) {
      if (!present->is_boolean()) node.Fail("must be true or false", "present");
      out.present = present->get<bool>();
    }
    out.classGuid = node.Guid("classGuid", false);
    out.devInst = static_cast<DWORD>(i + 1);
    out.faults = node.Faults({kNodeFaults[0], kNodeFaults[1]});

    if (const json* interfaces = node.Find("interfaces")) {
      if (!interfaces->is_array()) node.Fail("must be an array", "interfaces");
      for (std::size_t k = 0; k < interfaces->size(); ++k) {
        Reader entry((*interfaces)[k], origin, node.path() + ".interfaces[" + std::to_string(k) + "]");
        entry.OnlyKeys({"classGuid", "path", "faults", "driver"});
        InterfaceRecord iface;
        iface.classGuid = entry.Guid("classGuid", true);
        iface.path = entry.Text("path", false);
        if (entry.Find("path") != nullptr && iface.path.empty()) entry.Fail("must not be empty", "path");
        if (iface.path.empty()) iface.path = DefaultInterfacePath(out.instanceId, iface.classGuid);
        iface.faults = entry.Faults({kInterfaceFaults[0]});
        if (const json* driver = entry.Find("driver"))
          iface.driver = ParseDriver(*driver, origin, entry.path() + ".driver");
        out.interfaces.push_back(std::move(iface));
      }
    }

    if (const json* drivers = node.Find("drivers")) {
      if (!drivers->is_array()) node.Fail("must be an array", "drivers");
      for (std::size_t k = 0; k < drivers->size(); ++k) {
        Reader entry((*drivers)[k], origin, node.path() + ".drivers[" + std::to_string(k) + "]");
        entry.OnlyKeys({"description", "manufacturer", "provider", "type", "version", "date"});
        DriverRecord driver;
        // The texts travel in fixed LINE_LEN arrays.
        driver.description = entry.Text("description", true, LINE_LEN - 1);
        driver.manufacturer = entry.Text("manufacturer", false, LINE_LEN - 1);
        driver.provider = entry.Text("provider", false, LINE_LEN - 1);
        if (const json* type = entry.Find("type")) {
          if (!type->is_number_unsigned() ||
              (type->get<std::uint64_t>() != SPDIT_CLASSDRIVER && type->get<std::uint64_t>() != SPDIT_COMPATDRIVER)) {
            entry.Fail("must be 1 (class driver) or 2 (compatible driver)", "type");
          }
          driver.type = type->get<DWORD>();
        }
        const json* version = entry.Find("version");
        if (version == nullptr) entry.Fail("is missing", "version");
        if (!version->is_string() || !ParseDriverVersion(version->get<std::string>(), &driver.version)) {
          entry.Fail("must be a version \"a.b.c.d\" with parts 0 to 65535", "version");
        }
        if (const json* date = entry.Find("date")) {
          if (!date->is_string() || !ParseDate(date->get<std::string>(), &driver.date)) {
            entry.Fail("must be a date \"yyyy-mm-dd\"", "date");
          }
        }
        out.drivers.push_back(std::move(driver));
      }
    }
    nodes.push_back(std::move(out));
  }
  return nodes;
}

void ValidateDevicesProfile(const json& profile, const std::string& origin) {
  (void)ParseDeviceNodes(profile, origin);
}

}  // namespace platform::devices::detail
