// The machine's registry: HKEY_LOCAL_MACHINE keys and values, stored in
// <root>/registry.json. Key paths and value names compare without regard to case. Each
// call reads the file afresh (writers replace it atomically under a lock file), so a
// value set by `vesk-machine reg set` is seen by the next program that starts.
//
// REG_SZ data crosses these calls as wchar_t units (4 bytes each on this host),
// terminator included; sizes are in bytes, as on the original.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/types.h"

namespace platform {

using REGSAM = DWORD;
using LSTATUS = LONG;

inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002));

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
inline constexpr REGSAM KEY_WOW64_64KEY = 0x0100;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;

// A key handle whose key was deleted by someone else since it was opened.
// The registry file cannot be understood (the original: a corrupt registry hive).
inline constexpr DWORD ERROR_BADDB = 1009;
inline constexpr DWORD ERROR_KEY_DELETED = 1018;

// `root` is HKEY_LOCAL_MACHINE or an open key (subKey is then relative to it).
// ERROR_FILE_NOT_FOUND for a missing key; ERROR_INVALID_HANDLE for any other root.
// A key exists when it is listed in registry.json or lies above a listed key. The
// handle keeps the key's values as they were when it was opened (and as this handle
// changed them); open the key again to see other writers' changes. Queries need
// KEY_QUERY_VALUE and changes KEY_SET_VALUE in `desired` (ERROR_ACCESS_DENIED).
LSTATUS RegOpenKeyEx(HKEY root, LPCWSTR subKey, DWORD options, REGSAM desired, HKEY* result);
LSTATUS RegCreateKeyEx(HKEY root, LPCWSTR subKey, DWORD reserved, LPWSTR className, DWORD options, REGSAM desired,
                       LPSECURITY_ATTRIBUTES attributes, HKEY* result, DWORD* disposition);
LSTATUS RegCloseKey(HKEY key);
// ERROR_FILE_NOT_FOUND for a missing value; ERROR_MORE_DATA (with *dataSize set to
// the size needed) when `data` is too small; with `data` null only type and size.
LSTATUS RegQueryValueEx(HKEY key, LPCWSTR valueName, DWORD* reserved, DWORD* type, BYTE* data, DWORD* dataSize);
// The file stores values by meaning, so the data must fit the type: REG_DWORD 4 bytes,
// REG_QWORD 8, strings whole wchar_t units (read up to the first terminator);
// ERROR_INVALID_PARAMETER otherwise. ERROR_INVALID_DATA when registry.json exists but
// does not parse (it is left as it is rather than replaced).
LSTATUS RegSetValueEx(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD dataSize);
LSTATUS RegDeleteValue(HKEY key, LPCWSTR valueName);
LSTATUS RegDeleteKey(HKEY root, LPCWSTR subKey);  // the key and everything below it
// The value at `index` (in the order of the file) with the original's size protocol:
// *nameLength holds the buffer size in characters and receives the name's length
// without terminator; ERROR_MORE_DATA when name or data do not fit;
// ERROR_NO_MORE_ITEMS past the last value.
LSTATUS RegEnumValue(HKEY key, DWORD index, LPWSTR valueName, DWORD* nameLength, DWORD* reserved, DWORD* type,
                     BYTE* data, DWORD* dataSize);

inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Convenience for tools and tests (same storage, same rules).
namespace registry {

using Value = std::variant<std::wstring, DWORD>;

// Thrown by the calls below when registry.json cannot be read or is damaged
// (ERROR_BADDB): a damaged registry is reported, never read as an empty one.
class RegistryError : public std::runtime_error {
 public:
  RegistryError(LSTATUS status, const std::string& what) : std::runtime_error(what), status_(status) {}
  LSTATUS status() const { return status_; }

 private:
  LSTATUS status_;
};

// Key paths are relative to HKEY_LOCAL_MACHINE (SOFTWARE\Policies\Korvo). Get
// returns REG_SZ and REG_EXPAND_SZ as text and REG_DWORD as a number; nullopt for a
// missing key or value and for values of other types. Throws RegistryError.
std::optional<Value> Get(const std::wstring& keyPath, const std::wstring& valueName);
// These create the key when needed. ERROR_SUCCESS, or the error RegSetValueEx would give.
LSTATUS SetString(const std::wstring& keyPath, const std::wstring& valueName, const std::wstring& data);
LSTATUS SetDword(const std::wstring& keyPath, const std::wstring& valueName, DWORD data);
bool Delete(const std::wstring& keyPath, const std::wstring& valueName);  // false when absent
// Why the current machine's registry.json cannot be read ("the registry <file> is
// damaged: ..."), or "" when it can: what a tool says for ERROR_BADDB.
std::string Damage();
// Every key of the machine, the implied ones above listed keys included, sorted.
// Throws RegistryError.
std::vector<std::wstring> ListKeys();

// Seeds the registry of the machine at `root` from a profile's "registry" object (the
// shape of the file's "keys" object): keys and values it does not hold yet are added,
// values already there are kept, so an administrator's changes survive. Writes
// registry.json even when there is nothing to seed. Throws MachineError when the
// existing registry.json does not parse or cannot be written.
void SeedFromProfile(const std::filesystem::path& root, const nlohmann::json& profileRegistry);
// The same for the current machine.
void SeedFromProfile(const nlohmann::json& profileRegistry);

}  // namespace registry
}  // namespace platform
