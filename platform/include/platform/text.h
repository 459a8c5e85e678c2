// Text conversions. Service text is std::wstring (UTF-32 on this host), the wire and
// the app use UTF-16, files and profiles are UTF-8.
//
// The machine's "ANSI" code page is Windows-1252 (Western European), the code page of
// the sample machines' locale: CP_ACP and CP_THREAD_ACP both mean 1252 here.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

namespace platform {

inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_OEMCP = 1;
inline constexpr UINT CP_THREAD_ACP = 3;
inline constexpr UINT CP_1252 = 1252;
inline constexpr UINT CP_UTF8 = 65001;
inline constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;

// Invalid input never throws: malformed UTF-8 and lone surrogates become U+FFFD.
std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);
std::u16string WideToUtf16(std::wstring_view wide);
std::wstring Utf16ToWide(std::u16string_view utf16);
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// Appends the UTF-8 form of `wide` to `out` (no allocation when `out` has room).
void AppendUtf8(std::string& out, std::wstring_view wide);

// Windows-1252 <-> wide. Bytes 0x81, 0x8D, 0x8F, 0x90 and 0x9D, which 1252 leaves
// undefined, map to the C1 controls of the same value, as the original does.
std::wstring AnsiToWide(std::string_view ansi);
// Characters 1252 cannot represent become '?'.
std::string WideToAnsi(std::wstring_view wide);

// The original's conversion calls, with their size protocol: a zero output size
// returns the size needed (in output units, including the terminator when the input
// length is -1). Code pages: CP_ACP/CP_THREAD_ACP/CP_1252 and CP_UTF8; others fail
// with ERROR_INVALID_PARAMETER.
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* src, int srcLen, wchar_t* dst, int dstLen);
int WideCharToMultiByte(UINT codePage, DWORD flags, const wchar_t* src, int srcLen, char* dst, int dstLen,
                        const char* defaultChar, BOOL* usedDefault);

// Case-insensitive comparison the way the original's file system and registry compare
// names (simple upper-casing of each character).
bool EqualsNoCase(std::wstring_view a, std::wstring_view b);
wchar_t ToUpper(wchar_t c);
std::wstring ToUpper(std::wstring_view s);

// The C runtime's case-insensitive comparisons (<0, 0, >0), over the same upper-casing;
// _wcsnicmp compares at most `count` characters.
int _wcsicmp(const wchar_t* a, const wchar_t* b);
int _wcsnicmp(const wchar_t* a, const wchar_t* b, std::size_t count);

}  // namespace platform
