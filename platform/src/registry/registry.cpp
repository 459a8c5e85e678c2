#include "platform/registry.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/debug.h"
#include "platform/machine.h"
#include "platform/src/base/handles.h"
#include "platform/src/base/trace.h"
#include "platform/src/host/files.h"
#include "platform/src/registry/registry_profile.h"
#include "platform/text.h"

namespace platform {
namespace {

using Json = nlohmann::json;
using KeyPath = std::vector<std::wstring>;
namespace fs = std::filesystem;

constexpr const char* kRegistryFile = "registry.json";
constexpr const char* kLockFile = "registry.lock";

// --- Key paths -----------------------------------------------------------------------

// Empty components (doubled, leading or trailing backslashes) are dropped, as the
// original tolerates them.
KeyPath SplitKeyPath(std::wstring_view path) {
  KeyPath out;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(L'\\', start);
    if (end == std::wstring_view::npos) end = path.size();
    if (end > start) out.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::wstring JoinKeyPath(const KeyPath& path) {
  std::wstring out;
  for (const auto& part : path) {
    if (!out.empty()) out.push_back(L'\\');
    out += part;
  }
  return out;
}

// True when `prefix` is `key` or one of its ancestors (whole components only).
bool IsAtOrBelow(const KeyPath& key, const KeyPath& prefix) {
  if (prefix.size() > key.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (!EqualsNoCase(key[i], prefix[i])) return false;
  }
  return true;
}

struct ListedKey {
  std::string name;  // the member name in "keys", as stored
  KeyPath path;
};

std::vector<ListedKey> ListedKeys(const Json& keys) {
  std::vector<ListedKey> out;
  for (const auto& [name, entry] : keys.items()) out.push_back({name, SplitKeyPath(Utf8ToWide(name))});
  return out;
}

std::optional<std::string> FindListedKey(const Json& keys, const KeyPath& path) {
  for (const auto& listed : ListedKeys(keys)) {
    if (listed.path.size() == path.size() && IsAtOrBelow(listed.path, path)) return listed.name;
  }
  return std::nullopt;
}

bool KeyExists(const Json& keys, const KeyPath& path) {
  if (path.empty()) return true;
  for (const auto& listed : ListedKeys(keys)) {
    if (IsAtOrBelow(listed.path, path)) return true;
  }
  return false;
}

// `path` spelled the way the registry already spells its existing components, so a
// key created as Software\X under a listed SOFTWARE stays under SOFTWARE.
KeyPath CanonicalPath(const Json& keys, const KeyPath& path) {
  KeyPath out = path;
  const auto listed = ListedKeys(keys);
  for (std::size_t i = 0; i < out.size(); ++i) {
    KeyPath prefix(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(i + 1));
    for (const auto& key : listed) {
      if (IsAtOrBelow(key.path, prefix)) {
        out[i] = key.path[i];
        break;
      }
    }
  }
  return out;
}

std::optional<std::string> FindValueName(const Json& values, std::wstring_view name) {
  for (const auto& [stored, value] : values.items()) {
    if (EqualsNoCase(Utf8ToWide(stored), name)) return stored;
  }
  return std::nullopt;
}

// --- Values --------------------------------------------------------------------------

struct RawValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
};

constexpr std::pair<DWORD, const char*> kTypeNames[] = {
    {REG_NONE, "REG_NONE"},     {REG_SZ, "REG_SZ"},       {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {REG_BINARY, "REG_BINARY"}, {REG_DWORD, "REG_DWORD"}, {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_QWORD, "REG_QWORD"},
};

std::optional<DWORD> TypeFromName(const std::string& name) {
  for (const auto& [type, typeName] : kTypeNames) {
    if (name == typeName) return type;
  }
  return std::nullopt;
}

const char* NameOfType(DWORD type) {
  for (const auto& [t, name] : kTypeNames) {
    if (t == type) return name;
  }
  return nullptr;
}

void AppendWide(std::vector<BYTE>& out, std::wstring_view text) {
  const auto* p = reinterpret_cast<const BYTE*>(text.data());
  out.insert(out.end(), p, p + text.size() * sizeof(wchar_t));
  const wchar_t nul = 0;
  const auto* n = reinterpret_cast<const BYTE*>(&nul);
  out.insert(out.end(), n, n + sizeof(wchar_t));
}

template <class T>
void AppendScalar(std::vector<BYTE>& out, T v) {
  const auto* p = reinterpret_cast<const BYTE*>(&v);
  out.insert(out.end(), p, p + sizeof v);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A stored value as the bytes the original hands out; nullopt for an entry whose
// shape we do not understand (a hand-edited file), which then reads as absent.
std::optional<RawValue> DecodeValue(const Json& v) {
  if (!v.is_object()) return std::nullopt;
  auto typeIt = v.find("type");
  auto dataIt = v.find("data");
  if (typeIt == v.end() || dataIt == v.end() || !typeIt->is_string()) return std::nullopt;
  auto type = TypeFromName(typeIt->get<std::string>());
  if (!type) return std::nullopt;
  RawValue out;
  out.type = *type;
  const Json& data = *dataIt;
  switch (*type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      if (!data.is_string()) return std::nullopt;
      AppendWide(out.bytes, Utf8ToWide(data.get<std::string>()));
      return out;
    case REG_MULTI_SZ:
      if (!data.is_array()) return std::nullopt;
      for (const auto& s : data) {
        if (!s.is_string()) return std::nullopt;
        AppendWide(out.bytes, Utf8ToWide(s.get<std::string>()));
      }
      AppendWide(out.bytes, L"");
      return out;
    case REG_DWORD:
      if (!data.is_number_unsigned() || data.get<std::uint64_t>() > 0xFFFFFFFFu) return std::nullopt;
      AppendScalar(out.bytes, static_cast<DWORD>(data.get<std::uint64_t>()));
      return out;
    case REG_QWORD:
      if (!data.is_number_unsigned()) return std::nullopt;
      AppendScalar(out.bytes, data.get<std::uint64_t>());
      return out;
    default: {  // REG_BINARY, REG_NONE: a hex string
      if (!data.is_string()) return std::nullopt;
      const auto& hex = data.get_ref<const std::string&>();
      if (hex.size() % 2 != 0) return std::nullopt;
      for (std::size_t i = 0; i < hex.size(); i += 2) {
        int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.bytes.push_back(static_cast<BYTE>(hi << 4 | lo));
      }
      return out;
    }
  }
}

std::wstring WideUnits(const BYTE* data, std::size_t units) {
  std::wstring out(units, L'\0');
  if (units != 0) std::memcpy(out.data(), data, units * sizeof(wchar_t));
  return out;
}

std::optional<Json> EncodeValue(DWORD type, const BYTE* data, DWORD size) {
  if (data == nullptr && size != 0) return std::nullopt;
  const char* typeName = NameOfType(type);
  if (typeName == nullptr) return std::nullopt;
  Json out = {{"type", typeName}};
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      if (size % sizeof(wchar_t) != 0) return std::nullopt;
      std::wstring text = WideUnits(data, size / sizeof(wchar_t));
      if (auto nul = text.find(L'\0'); nul != std::wstring::npos) text.resize(nul);
      out["data"] = WideToUtf8(text);
      return out;
    }
    case REG_MULTI_SZ: {
      if (size % sizeof(wchar_t) != 0) return std::nullopt;
      std::wstring all = WideUnits(data, size / sizeof(wchar_t));
      Json list = Json::array();
      std::size_t start = 0;
      while (start < all.size()) {
        std::size_t end = all.find(L'\0', start);
        if (end == std::wstring::npos) end = all.size();
        if (end == start) break;  // the empty string that ends the list
        list.push_back(WideToUtf8(std::wstring_view(all).substr(start, end - start)));
        start = end + 1;
      }
      out["data"] = std::move(list);
      return out;
    }
    case REG_DWORD: {
      if (size != sizeof(DWORD)) return std::nullopt;
      DWORD v;
      std::memcpy(&v, data, sizeof v);
      out["data"] = v;
      return out;
    }
    case REG_QWORD: {
      if (size != sizeof(std::uint64_t)) return std::nullopt;
      std::uint64_t v;
      std::memcpy(&v, data, sizeof v);
      out["data"] = v;
      return out;
    }
    default: {
      static constexpr char kHex[] = "0123456789abcdef";
      std::string hex;
      for (DWORD i = 0; i < size; ++i) {
        hex.push_back(kHex[data[i] >> 4]);
        hex.push_back(kHex[data[i] & 0xF]);
      }
      out["data"] = std::move(hex);
      return out;
    }
  }
}

// The original's size protocol for handing value data to a caller.
LSTATUS CopyOut(const RawValue& value, DWORD* type, BYTE* data, DWORD* dataSize) {
  if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  if (type != nullptr) *type = value.type;
  const auto needed = static_cast<DWORD>(value.bytes.size());
  if (dataSize == nullptr) return ERROR_SUCCESS;
  if (data != nullptr) {
    if (*dataSize < needed) {
      *dataSize = needed;
      return ERROR_MORE_DATA;
    }
    if (needed != 0) std::memcpy(data, value.bytes.data(), needed);
  }
  *dataSize = needed;
  return ERROR_SUCCESS;
}

// --- The file ------------------------------------------------------------------------

// What the registry file held. A missing file is an empty registry; one that cannot
// be read or understood fails the calls that need it, so that damage is never taken
// for absence (ERROR_BADDB, as for a corrupt registry hive).
struct Loaded {
  LSTATUS status = ERROR_SUCCESS;
  Json doc;            // with an object "keys" when status is ERROR_SUCCESS
  std::string damage;  // why, when it failed
};

// Says once per process and file in the debug output that the registry is damaged:
// a service that falls back to its defaults because of it leaves a trace.
void ReportDamage(const fs::path& file, const std::string& damage) {
  static std::mutex lock;
  static std::set<fs::path> reported;
  {
    std::lock_guard guard(lock);
    if (!reported.insert(file).second) return;
  }
  OutputDebugStringA((damage + "; registry calls fail with ERROR_BADDB until it is fixed or removed\n").c_str());
}

// The registry file's text (nullopt: there is none) as a document.
Loaded ParseDocument(const fs::path& file, const std::optional<std::string>& text) {
  Loaded out;
  if (!text) {
    out.doc = {{"keys", Json::object()}};
    return out;
  }
  out.doc = Json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (out.doc.is_discarded() || !out.doc.is_object()) {
    out.damage = "the registry " + file.string() + " is damaged: it is not a JSON object";
  } else if (auto keys = out.doc.find("keys"); keys == out.doc.end()) {
    out.doc["keys"] = Json::object();
  } else if (!keys->is_object()) {
    out.damage = "the registry " + file.string() + " is damaged: \"keys\" must be an object";
  }
  if (!out.damage.empty()) {
    out.status = ERROR_BADDB;
    ReportDamage(file, out.damage);
  }
  return out;
}

Loaded LoadDocument(const fs::path& root) {
  const fs::path file = root / kRegistryFile;
  try {
    return ParseDocument(file, host::ReadFile(file));
  } catch (const std::system_error& e) {
    Loaded out;
    out.status = static_cast<LSTATUS>(Win32ErrorFromErrno(e.code().value()));
    out.damage = e.what();
    return out;
  }
}

// The "keys" object for reading; an empty one, with *status set, when the file cannot
// be read or understood.
Json ReadKeys(const fs::path& root, LSTATUS* status, std::string* damage = nullptr) {
  Loaded loaded = LoadDocument(root);
  *status = loaded.status;
  if (damage != nullptr) *damage = loaded.damage;
  if (loaded.status != ERROR_SUCCESS) return Json::object();
  return std::move(loaded.doc["keys"]);
}

Json ValuesOf(const Json& keys, const KeyPath& path) {
  if (auto name = FindListedKey(keys, path)) {
    const Json& entry = keys.at(*name);
    if (entry.is_object()) return entry;
  }
  return Json::object();
}

// Read-modify-write of registry.json under the lock every writer of every process
// takes, so concurrent changes are applied one after the other and none is lost; a file
// that cannot be understood is never overwritten. `change` edits the "keys" object and
// sets `changed` when there is something to write.
LSTATUS Modify(const fs::path& root, const std::function<LSTATUS(Json& keys, bool& changed)>& change,
               bool writeWhenMissing = false) {
  LSTATUS status = ERROR_SUCCESS;
  try {
    host::UpdateFile(root / kRegistryFile, root / kLockFile,
                     [&](const std::optional<std::string>& text) -> std::optional<std::string> {
                       Loaded loaded = ParseDocument(root / kRegistryFile, text);
                       status = loaded.status;
                       if (status != ERROR_SUCCESS) return std::nullopt;
                       bool changed = writeWhenMissing && !text;
                       status = change(loaded.doc["keys"], changed);
                       if (status != ERROR_SUCCESS || !changed) return std::nullopt;
                       return loaded.doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
                     });
  } catch (const std::system_error& e) {
    return static_cast<LSTATUS>(Win32ErrorFromErrno(e.code().value()));
  }
  return status;
}

// The values object of the key at `path` inside `keys`, listing the key when it was
// only implied by a key below it, or, with `create`, when it did not exist.
LSTATUS KeyForWrite(Json& keys, const KeyPath& path, bool create, Json*& values, bool* created = nullptr) {
  if (created != nullptr) *created = false;
  if (auto name = FindListedKey(keys, path)) {
    Json& entry = keys[*name];
    if (!entry.is_object()) return ERROR_INVALID_DATA;
    values = &entry;
    return ERROR_SUCCESS;
  }
  const bool exists = KeyExists(keys, path);
  if (!exists && !create) return ERROR_FILE_NOT_FOUND;
  if (created != nullptr) *created = !exists;
  Json& entry = keys[WideToUtf8(JoinKeyPath(CanonicalPath(keys, path)))];
  entry = Json::object();
  values = &entry;
  return ERROR_SUCCESS;
}

void SetNamedValue(Json& values, std::wstring_view name, Json value) {
  // A value keeps the spelling it was created with when it is replaced.
  if (auto stored = FindValueName(values, name)) {
    values[*stored] = std::move(value);
  } else {
    values[WideToUtf8(name)] = std::move(value);
  }
}

// --- Handles -------------------------------------------------------------------------

class RegistryKey final : public base::detail::KernelObject {
 public:
  fs::path root;
  KeyPath path;
  REGSAM access = 0;

  Json Values() {
    std::lock_guard guard(lock_);
    return values_;
  }
  void SetValues(Json values) {
    std::lock_guard guard(lock_);
    values_ = std::move(values);
  }

 private:
  std::mutex lock_;
  Json values_ = Json::object();
};

bool IsPredefined(HKEY key) {
  auto v = reinterpret_cast<std::uintptr_t>(key);
  return v >= 0x80000000u && v <= 0x800000FFu;
}

// Where a call with `key` works: HKEY_LOCAL_MACHINE of the current machine, or an
// open key (of the machine it was opened on).
struct Target {
  fs::path root;
  KeyPath path;
  std::shared_ptr<RegistryKey> key;  // null for HKEY_LOCAL_MACHINE
};

LSTATUS Resolve(HKEY key, Target& out) {
  if (key == HKEY_LOCAL_MACHINE) {
    out.root = CurrentMachine().Root();
    return ERROR_SUCCESS;
  }
  if (IsPredefined(key)) return ERROR_INVALID_HANDLE;  // HKEY_CURRENT_USER and friends: not simulated
  out.key = base::detail::LookupHandleAs<RegistryKey>(key);
  if (!out.key) return ERROR_INVALID_HANDLE;
  out.root = out.key->root;
  out.path = out.key->path;
  return ERROR_SUCCESS;
}

bool Allows(const Target& t, REGSAM right) {
  return !t.key || (t.key->access & right) == right;
}

// Values of the key for reading: the handle's snapshot, or the file for the root key.
Json ReadValues(const Target& t, LSTATUS* status) {
  *status = ERROR_SUCCESS;
  return t.key ? t.key->Values() : ValuesOf(ReadKeys(t.root, status), {});
}

// Changes the values of the key behind `t`. A handle whose key someone deleted meanwhile
// gets ERROR_KEY_DELETED instead of bringing the key back.
LSTATUS ModifyValues(const Target& t, const std::function<LSTATUS(Json& values, bool& changed)>& change) {
  return Modify(t.root, [&](Json& keys, bool& changed) {
    if (!KeyExists(keys, t.path)) return static_cast<LSTATUS>(ERROR_KEY_DELETED);
    Json* values = nullptr;
    if (LSTATUS s = KeyForWrite(keys, t.path, false, values); s != ERROR_SUCCESS) return s;
    if (LSTATUS s = change(*values, changed); s != ERROR_SUCCESS) return s;
    if (changed && t.key) t.key->SetValues(*values);
    return static_cast<LSTATUS>(ERROR_SUCCESS);
  });
}

KeyPath Append(KeyPath base, LPCWSTR subKey) {
  if (subKey != nullptr) {
    for (auto& part : SplitKeyPath(subKey)) base.push_back(std::move(part));
  }
  return base;
}

HKEY NewKeyHandle(const fs::path& root, KeyPath path, REGSAM access, Json values) {
  auto key = std::make_shared<RegistryKey>();
  key->root = root;
  key->path = std::move(path);
  key->access = access;
  key->SetValues(std::move(values));
  return base::detail::InsertHandle(std::move(key));
}

std::wstring ValueName(LPCWSTR name) {
  return name == nullptr ? std::wstring() : std::wstring(name);
}

}  // namespace

LSTATUS RegOpenKeyEx(HKEY root, LPCWSTR subKey, DWORD /*options*/, REGSAM desired, HKEY* result) {
  return base::detail::Traced<LSTATUS>(base::detail::kTraceReg, "RegOpenKeyEx", [&]() -> LSTATUS {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Target t;
    if (LSTATUS s = Resolve(root, t); s != ERROR_SUCCESS) return s;
    const KeyPath path = Append(t.path, subKey);
    LSTATUS status = ERROR_SUCCESS;
    const Json keys = ReadKeys(t.root, &status);
    if (status != ERROR_SUCCESS) return status;
    if (!KeyExists(keys, path)) return ERROR_FILE_NOT_FOUND;
    *result = NewKeyHandle(t.root, CanonicalPath(keys, path), desired, ValuesOf(keys, path));
    return ERROR_SUCCESS;
  });
}

// Security attributes are accepted and ignored: keys of the simulated machine carry no
// security descriptor.
LSTATUS RegCreateKeyEx(HKEY root, LPCWSTR subKey, DWORD /*reserved*/, LPWSTR /*className*/, DWORD /*options*/,
                       REGSAM desired, LPSECURITY_ATTRIBUTES /*attributes*/, HKEY* result, DWORD* disposition) {
  return base::detail::Traced<LSTATUS>(base::detail::kTraceReg, "RegCreateKeyEx", [&]() -> LSTATUS {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    Target t;
    if (LSTATUS s = Resolve(root, t); s != ERROR_SUCCESS) return s;
    if (!Allows(t, KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    const KeyPath path = Append(t.path, subKey);
    bool created = false;
    KeyPath canonical;
    Json values;
    LSTATUS status = Modify(t.root, [&](Json& keys, bool& changed) {
      if (KeyExists(keys, path)) {
        values = ValuesOf(keys, path);
      } else {
        Json* entry = nullptr;
        if (LSTATUS s = KeyForWrite(keys, path, true, entry, &created); s != ERROR_SUCCESS) return s;
        values = *entry;
        changed = true;
      }
      canonical = CanonicalPath(keys, path);
      return static_cast<LSTATUS>(ERROR_SUCCESS);
    });
    if (status != ERROR_SUCCESS) return status;
    *result = NewKeyHandle(t.root, std::move(canonical), desired, std::move(values));
    if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegCloseKey(HKEY key) {
  return base::detail::Traced<LSTATUS>(base::detail::kTraceReg, "RegCloseKey", [&]() -> LSTATUS {
    if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;  // predefined keys are never really open
    if (!base::detail::LookupHandleAs<RegistryKey>(key)) return ERROR_INVALID_HANDLE;
    return base::detail::RemoveHandle(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
  });
}

LSTATUS RegQueryValueEx(HKEY key, LPCWSTR valueName, DWORD* reserved, DWORD* type, BYTE* data, DWORD* dataSize) {
  return base::detail::Traced<LSTATUS>(base::detail::kTraceReg, "RegQueryValueEx", [&]() -> LSTATUS {
    if (reserved != nullptr) return ERROR_INVALID_PARAMETER;
    Target t;
    if (LSTATUS s = Resolve(key, t); s != ERROR_SUCCESS) return s;
    if (!Allows(t, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    LSTATUS status = ERROR_SUCCESS;
    const Json values = ReadValues(t, &status);
    if (status != ERROR_SUCCESS) return status;
    auto stored = FindValueName(values, ValueName(valueName));
    if (!stored) return ERROR_FILE_NOT_FOUND;
    auto raw = DecodeValue(values.at(*stored));
    if (!raw) return ERROR_FILE_NOT_FOUND;
    return CopyOut(*raw, type, data, dataSize);
  });
}

LSTATUS RegEnumValue(HKEY key, DWORD index, LPWSTR valueName, DWORD* nameLength, DWORD* reserved, DWORD* type,
                     BYTE* data, DWORD* dataSize) {
  return base::detail::Traced<LSTATUS>(base::detail::kTraceReg, "RegEnumValue", [&]() -> LSTATUS {
    if (reserved != nullptr || valueName == nullptr || nameLength == nullptr) return ERROR_INVALID_PARAMETER;
    Target t;
    if (LSTATUS s = Resolve(key, t); s != ERROR_SUCCESS) return s;
    if (!Allows(t, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    LSTATUS status = ERROR_SUCCESS;
    const Json values = ReadValues(t, &status);
    if (status != ERROR_SUCCESS) return status;
    DWORD i = 0;
    for (const auto& [stored, value] : values.items()) {
      auto raw = DecodeValue(value);
      if (!raw) continue;  // entries we cannot read are not there, as for RegQueryValueEx
      if (i++ != index) continue;
      const std::wstring name = Utf8ToWide(stored);
      if (name.size() + 1 > *nameLength) return ERROR_MORE_DATA;
      std::copy(name.begin(), name.end(), valueName);
      valueName[name.size()] = L'\0';
      *nameLength = static_cast<DWORD>(name.size());
      return CopyOut(*raw, type, data, dataSize);
    }
    return ERROR_NO_MORE_ITEMS;
  });
}

LSTATUS RegSetValueEx(HKEY key, LPCWSTR valueName, DWORD /*reserved*/, DWORD type, const BYTE* data, DWORD dataSize) {
  return base::detail::Traced<LSTATUS>(base::detail::kTraceReg, "RegSetValueEx", [&]() -> LSTATUS {
    Target t;
    if (LSTATUS s = Resolve(key, t); s != ERROR_SUCCESS) return s;
    if (!Allows(t, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    auto encoded = EncodeValue(type, data, dataSize);
    if (!encoded) return ERROR_INVALID_PARAMETER;
    const std::wstring name = ValueName(valueName);
    return ModifyValues(t, [&](Json& values, bool& changed) {
      SetNamedValue(values, name, *encoded);
      changed = true;
      return static_cast<LSTATUS>(ERROR_SUCCESS);
    });
  });
}

LSTATUS RegDeleteValue(HKEY key, LPCWSTR valueName) {
  return base::detail::Traced<LSTATUS>(base::detail::kTraceReg, "RegDeleteValue", [&]() -> LSTATUS {
    Target t;
    if (LSTATUS s = Resolve(key, t); s != ERROR_SUCCESS) return s;
    if (!Allows(t, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    const std::wstring name = ValueName(valueName);
    return ModifyValues(t, [&](Json& values, bool& changed) {
      auto stored = FindValueName(values, name);
      if (!stored) return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
      values.erase(*stored);
      changed = true;
      return static_cast<LSTATUS>(ERROR_SUCCESS);
    });
  });
}

LSTATUS RegDeleteKey(HKEY root, LPCWSTR subKey) {
  return base::detail::Traced<LSTATUS>(base::detail::kTraceReg, "RegDeleteKey", [&]() -> LSTATUS {
    Target t;
    if (LSTATUS s = Resolve(root, t); s != ERROR_SUCCESS) return s;
    const KeyPath path = Append(t.path, subKey);
    if (path.size() == t.path.size()) return ERROR_INVALID_PARAMETER;  // a key is deleted through its parent
    return Modify(t.root, [&](Json& keys, bool& changed) {
      if (!KeyExists(keys, path)) return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
      const KeyPath parent(path.begin(), path.end() - 1);
      const KeyPath parentSpelling = CanonicalPath(keys, parent);
      for (const auto& listed : ListedKeys(keys)) {
        if (IsAtOrBelow(listed.path, path)) keys.erase(listed.name);
      }
      // The parent stays, even when only the deleted key implied it.
      if (!KeyExists(keys, parent)) keys[WideToUtf8(JoinKeyPath(parentSpelling))] = Json::object();
      changed = true;
      return static_cast<LSTATUS>(ERROR_SUCCESS);
    });
  });
}

namespace registry {
namespace {

LSTATUS SetValueAt(const std::wstring& keyPath, const std::wstring& valueName, Json value) {
  const KeyPath path = SplitKeyPath(keyPath);
  return Modify(CurrentMachine().Root(), [&](Json& keys, bool& changed) {
    Json* values = nullptr;
    if (LSTATUS s = KeyForWrite(keys, path, true, values); s != ERROR_SUCCESS) return s;
    SetNamedValue(*values, valueName, std::move(value));
    changed = true;
    return static_cast<LSTATUS>(ERROR_SUCCESS);
  });
}

}  // namespace

namespace {

// The tools' view: a registry that cannot be read is an error with its reason.
Json KeysOrThrow() {
  LSTATUS status = ERROR_SUCCESS;
  std::string damage;
  Json keys = ReadKeys(CurrentMachine().Root(), &status, &damage);
  if (status != ERROR_SUCCESS) throw RegistryError(status, damage);
  return keys;
}

}  // namespace

std::string Damage() {
  return LoadDocument(CurrentMachine().Root()).damage;
}

std::optional<Value> Get(const std::wstring& keyPath, const std::wstring& valueName) {
  return base::detail::Traced<std::optional<Value>>(base::detail::kTraceReg, "Get", [&]() -> std::optional<Value> {
    const KeyPath path = SplitKeyPath(keyPath);
    const Json keys = KeysOrThrow();
    if (!KeyExists(keys, path)) return std::nullopt;
    const Json values = ValuesOf(keys, path);
    auto stored = FindValueName(values, valueName);
    if (!stored) return std::nullopt;
    auto raw = DecodeValue(values.at(*stored));
    if (!raw) return std::nullopt;
    if (raw->type == REG_DWORD) {
      DWORD v;
      std::memcpy(&v, raw->bytes.data(), sizeof v);
      return Value{v};
    }
    if (raw->type == REG_SZ || raw->type == REG_EXPAND_SZ) {
      return Value{WideUnits(raw->bytes.data(), raw->bytes.size() / sizeof(wchar_t) - 1)};
    }
    return std::nullopt;
  });
}

LSTATUS SetString(const std::wstring& keyPath, const std::wstring& valueName, const std::wstring& data) {
  return base::detail::Traced<LSTATUS>(base::detail::kTraceReg, "SetString", [&]() -> LSTATUS {
    return SetValueAt(keyPath, valueName, Json{{"type", "REG_SZ"}, {"data", WideToUtf8(data)}});
  });
}

LSTATUS SetDword(const std::wstring& keyPath, const std::wstring& valueName, DWORD data) {
  return base::detail::Traced<LSTATUS>(base::detail::kTraceReg, "SetDword", [&]() -> LSTATUS {
    return SetValueAt(keyPath, valueName, Json{{"type", "REG_DWORD"}, {"data", data}});
  });
}

bool Delete(const std::wstring& keyPath, const std::wstring& valueName) {
  return base::detail::Traced<bool>(base::detail::kTraceReg, "Delete", [&]() -> bool {
    const KeyPath path = SplitKeyPath(keyPath);
    LSTATUS status = Modify(CurrentMachine().Root(), [&](Json& keys, bool& changed) {
      auto listed = FindListedKey(keys, path);
      if (!listed || !keys[*listed].is_object()) return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
      Json& values = keys[*listed];
      auto stored = FindValueName(values, valueName);
      if (!stored) return static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
      values.erase(*stored);
      changed = true;
      return static_cast<LSTATUS>(ERROR_SUCCESS);
    });
    return status == ERROR_SUCCESS;
  });
}

std::vector<std::wstring> ListKeys() {
  return base::detail::Traced<std::vector<std::wstring>>(
      base::detail::kTraceReg, "ListKeys", [&]() -> std::vector<std::wstring> {
        const Json keys = KeysOrThrow();
        std::vector<std::wstring> out;
        auto seen = [&](const std::wstring& k) {
          return std::any_of(out.begin(), out.end(), [&](const std::wstring& o) { return EqualsNoCase(o, k); });
        };
        for (const auto& listed : ListedKeys(keys)) {
          const KeyPath spelled = CanonicalPath(keys, listed.path);
          for (std::size_t n = 1; n <= spelled.size(); ++n) {
            std::wstring key = JoinKeyPath(KeyPath(spelled.begin(), spelled.begin() + static_cast<std::ptrdiff_t>(n)));
            if (!seen(key)) out.push_back(std::move(key));
          }
        }
        std::sort(out.begin(), out.end(),
                  [](const std::wstring& a, const std::wstring& b) { return ToUpper(a) < ToUpper(b); });
        return out;
      });
}

void SeedFromProfile(const fs::path& root, const Json& profileRegistry) {
  return base::detail::Traced<void>(base::detail::kTraceReg, "SeedFromProfile", [&]() -> void {
    LSTATUS status = Modify(
        root,
        [&](Json& keys, bool& changed) {
          if (!profileRegistry.is_object()) return static_cast<LSTATUS>(ERROR_SUCCESS);
          for (const auto& [keyName, profileValues] : profileRegistry.items()) {
            const KeyPath path = SplitKeyPath(Utf8ToWide(keyName));
            // Profile keys are listed even when a key below them implies them already, so
            // the file shows what the profile declared.
            if (!FindListedKey(keys, path)) changed = true;
            Json* values = nullptr;
            if (LSTATUS s = KeyForWrite(keys, path, true, values); s != ERROR_SUCCESS) return s;
            if (!profileValues.is_object()) continue;
            for (const auto& [valueName, value] : profileValues.items()) {
              const std::wstring name = Utf8ToWide(valueName);
              if (FindValueName(*values, name) || !DecodeValue(value)) continue;
              (*values)[valueName] = value;
              changed = true;
            }
          }
          return static_cast<LSTATUS>(ERROR_SUCCESS);
        },
        /*writeWhenMissing=*/true);
    if (status == ERROR_BADDB) {
      throw MachineError((root / kRegistryFile).string() + " is not a valid registry file; fix or remove it");
    }
    if (status != ERROR_SUCCESS) {
      throw MachineError("cannot seed the registry in " + root.string() + " (error " + std::to_string(status) + ")");
    }
  });
}

void SeedFromProfile(const Json& profileRegistry) {
  return base::detail::Traced<void>(base::detail::kTraceReg, "SeedFromProfile",
                                    [&]() -> void { SeedFromProfile(CurrentMachine().Root(), profileRegistry); });
}

namespace detail {

void CheckProfile(const Json& profile, const std::string& origin) {
  if (!profile.contains("registry")) return;
  const auto& reg = profile["registry"];
  if (!reg.is_object()) throw MachineError(origin + ": \"registry\" must be an object of keys");
  for (const auto& [key, values] : reg.items()) {
    if (!values.is_object()) throw MachineError(origin + ": registry key \"" + key + "\" must be an object");
    for (const auto& [name, value] : values.items()) {
      const std::string where = origin + ": registry value \"" + key + "\\" + name + "\"";
      if (!value.is_object() || !value.contains("type") || !value.contains("data")) {
        throw MachineError(where + " needs \"type\" and \"data\"");
      }
      const auto& type = value["type"];
      if (type == "REG_DWORD") {
        // Beyond 32 bits the value could not be stored, and would vanish without a word.
        if (!value["data"].is_number_unsigned() || value["data"].get<std::uint64_t>() > 0xFFFFFFFFu) {
          throw MachineError(where + " must hold an unsigned number of 32 bits");
        }
      } else if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
        if (!value["data"].is_string()) throw MachineError(where + " must hold a string");
      } else {
        throw MachineError(where + " has unsupported type " + type.dump());
      }
    }
  }
}

}  // namespace detail
}  // namespace registry
}  // namespace platform
