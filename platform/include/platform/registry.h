// The machine's registry: HKEY_LOCAL_MACHINE keys and values, stored in
// <root>/registry.json. Key paths and value names compare without regard to case. Each
// call reads the file afresh (writers replace it atomically under a lock file), so a
// value set by `vesk-machine reg set` is seen by the next program that starts.
//
// REG_SZ data crosses these calls as wchar_t units (4 bytes each on this host),
// terminator included; sizes are in bytes, as on the original.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

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

// ERROR_FILE_NOT_FOUND for a missing key; ERROR_INVALID_HANDLE for a root other than
// HKEY_LOCAL_MACHINE.
LSTATUS RegOpenKeyEx(HKEY root, LPCWSTR subKey, DWORD options, REGSAM desired, HKEY* result);
LSTATUS RegCreateKeyEx(HKEY root, LPCWSTR subKey, DWORD reserved, LPWSTR className, DWORD options, REGSAM desired,
                       LPSECURITY_ATTRIBUTES attributes, HKEY* result, DWORD* disposition);
LSTATUS RegCloseKey(HKEY key);
// ERROR_FILE_NOT_FOUND for a missing value; ERROR_MORE_DATA (with *dataSize set to
// the size needed) when `data` is too small; with `data` null only type and size.
LSTATUS RegQueryValueEx(HKEY key, LPCWSTR valueName, DWORD* reserved, DWORD* type, BYTE* data, DWORD* dataSize);
LSTATUS RegSetValueEx(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD dataSize);
LSTATUS RegDeleteValue(HKEY key, LPCWSTR valueName);
LSTATUS RegDeleteKey(HKEY root, LPCWSTR subKey);  // the key and everything below it

inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Convenience for tools and tests (same storage, same rules).
namespace registry {

using Value = std::variant<std::wstring, DWORD>;

std::optional<Value> Get(const std::wstring& keyPath, const std::wstring& valueName);
void SetString(const std::wstring& keyPath, const std::wstring& valueName, const std::wstring& data);
void SetDword(const std::wstring& keyPath, const std::wstring& valueName, DWORD data);
bool Delete(const std::wstring& keyPath, const std::wstring& valueName);  // false when absent
std::vector<std::wstring> ListKeys();

}  // namespace registry
}  // namespace platform
