#include "platform/text.h"

#include <cwctype>

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point from `s` at `i`, advancing `i`. Malformed input yields
// U+FFFD and consumes one byte, so decoding always makes progress.
char32_t DecodeUtf8(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int extra;
  char32_t cp;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, cp = b0 & 0x07, min = 0x10000;
  } else {
    ++i;
    return kReplacement;
  }
  if (i + extra >= s.size()) {
    ++i;
    return kReplacement;
  }
  for (int k = 1; k <= extra; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return kReplacement;
  }
  i += extra + 1;
  return cp;
}

void EncodeUtf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Windows-1252 bytes 0x80..0x9F. Undefined positions keep their C1 value.
constexpr char16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                      0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

int AnsiFromCodePoint(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
  for (int k = 0; k < 32; ++k) {
    if (kCp1252High[k] == cp) return 0x80 + k;
  }
  return -1;
}

bool IsAnsiCodePage(UINT cp) {
  return cp == CP_ACP || cp == CP_THREAD_ACP || cp == CP_1252 || cp == CP_OEMCP;
}

}  // namespace

std::wstring Utf8ToWide(std::string_view utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) out.push_back(static_cast<wchar_t>(DecodeUtf8(utf8, i)));
  return out;
}

void AppendUtf8(std::string& out, std::wstring_view wide) {
  // Log lines are mostly ASCII: copy runs of it straight into the string's storage.
  std::size_t i = 0;
  while (i < wide.size()) {
    std::size_t run = i;
    while (run < wide.size() && static_cast<char32_t>(wide[run]) < 0x80) ++run;
    if (run > i) {
      const std::size_t at = out.size();
      out.resize(at + (run - i));
      char* dst = out.data() + at;
      for (std::size_t k = i; k < run; ++k) *dst++ = static_cast<char>(wide[k]);
      i = run;
    }
    if (i < wide.size()) EncodeUtf8(out, static_cast<char32_t>(wide[i++]));
  }
}

std::string WideToUtf8(std::wstring_view wide) {
  std::string out;
  out.reserve(wide.size());
  AppendUtf8(out, wide);
  return out;
}

std::u16string WideToUtf16(std::wstring_view wide) {
  std::u16string out;
  out.reserve(wide.size());
  for (wchar_t wc : wide) {
    auto cp = static_cast<char32_t>(wc);
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::wstring Utf16ToWide(std::u16string_view utf16) {
  std::wstring out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t c = utf16[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    out.push_back(static_cast<wchar_t>(c));
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  return WideToUtf16(Utf8ToWide(utf8));
}
std::string Utf16ToUtf8(std::u16string_view utf16) {
  return WideToUtf8(Utf16ToWide(utf16));
}

std::wstring AnsiToWide(std::string_view ansi) {
  std::wstring out;
  out.reserve(ansi.size());
  for (char ch : ansi) {
    const auto b = static_cast<unsigned char>(ch);
    out.push_back(b >= 0x80 && b < 0xA0 ? static_cast<wchar_t>(kCp1252High[b - 0x80]) : static_cast<wchar_t>(b));
  }
  return out;
}

std::string WideToAnsi(std::wstring_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (wchar_t c : wide) {
    int b = AnsiFromCodePoint(static_cast<char32_t>(c));
    out.push_back(b < 0 ? '?' : static_cast<char>(b));
  }
  return out;
}

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* src, int srcLen, wchar_t* dst, int dstLen) {
  if (src == nullptr || dstLen < 0 || (dst == nullptr && dstLen != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const bool withTerminator = srcLen < 0;
  std::string_view in(src, withTerminator ? std::char_traits<char>::length(src) : static_cast<std::size_t>(srcLen));
  std::wstring wide;
  if (IsAnsiCodePage(codePage)) {
    wide = AnsiToWide(in);
  } else if (codePage == CP_UTF8) {
    if (flags & MB_ERR_INVALID_CHARS) {
      for (std::size_t i = 0; i < in.size();) {
        std::size_t before = i;
        char32_t cp = DecodeUtf8(in, i);
        if (cp == kReplacement && !(i - before == 3 && in.substr(before, 3) == "\xEF\xBF\xBD")) {
          SetLastError(ERROR_NO_UNICODE_TRANSLATION);
          return 0;
        }
        wide.push_back(static_cast<wchar_t>(cp));
      }
    } else {
      wide = Utf8ToWide(in);
    }
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (withTerminator) wide.push_back(L'\0');
  const int needed = static_cast<int>(wide.size());
  if (dstLen == 0) return needed;
  if (dstLen < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  wide.copy(dst, wide.size());
  return needed;
}

int WideCharToMultiByte(UINT codePage, DWORD /*flags*/, const wchar_t* src, int srcLen, char* dst, int dstLen,
                        const char* defaultChar, BOOL* usedDefault) {
  if (src == nullptr || dstLen < 0 || (dst == nullptr && dstLen != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const bool withTerminator = srcLen < 0;
  std::wstring_view in(src, withTerminator ? std::char_traits<wchar_t>::length(src) : static_cast<std::size_t>(srcLen));
  std::string bytes;
  if (usedDefault) *usedDefault = FALSE;
  if (IsAnsiCodePage(codePage)) {
    for (wchar_t c : in) {
      int b = AnsiFromCodePoint(static_cast<char32_t>(c));
      if (b < 0) {
        bytes.push_back(defaultChar ? *defaultChar : '?');
        if (usedDefault) *usedDefault = TRUE;
      } else {
        bytes.push_back(static_cast<char>(b));
      }
    }
  } else if (codePage == CP_UTF8) {
    if (defaultChar != nullptr || usedDefault != nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    bytes = WideToUtf8(in);
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (withTerminator) bytes.push_back('\0');
  const int needed = static_cast<int>(bytes.size());
  if (dstLen == 0) return needed;
  if (dstLen < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  bytes.copy(dst, bytes.size());
  return needed;
}

wchar_t ToUpper(wchar_t c) {
  if (c < 0x80) return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
  return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
}

std::wstring ToUpper(std::wstring_view s) {
  std::wstring out(s);
  for (auto& c : out) c = ToUpper(c);
  return out;
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && ToUpper(a[i]) != ToUpper(b[i])) return false;
  }
  return true;
}

int _wcsnicmp(const wchar_t* a, const wchar_t* b, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const wchar_t x = ToUpper(a[i]);
    const wchar_t y = ToUpper(b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (x == L'\0') return 0;
  }
  return 0;
}

int _wcsicmp(const wchar_t* a, const wchar_t* b) {
  return _wcsnicmp(a, b, static_cast<std::size_t>(-1));
}

}  // namespace platform
