#include "platform/version.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/machine.h"
#include "platform/src/host/fd.h"
#include "platform/src/version/elf_section.h"
#include "platform/text.h"

#include "platform/src/base/trace.h"

namespace platform {
namespace {

constexpr std::string_view kMarker = "KORVO-VERSION-RESOURCE";
constexpr std::string_view kSectionName = ".korvo_version";
constexpr std::string_view kManifestSectionName = ".korvo_manifest";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// Resources are a few hundred bytes; anything far larger is not one of ours.
constexpr std::uint64_t kMaxResourceBytes = 1 << 20;

constexpr DWORD VOS_NT_WINDOWS32 = 0x00040004;
constexpr DWORD VFT_APP = 0x00000001;
constexpr DWORD VS_FFI_STRUCVERSION = 0x00010000;
constexpr DWORD VS_FFI_FILEFLAGSMASK = 0x0000003F;

// --- Reading the resource text ---------------------------------------------------------

bool StartsWithMarker(std::string_view text) {
  if (text.substr(0, kMarker.size()) != kMarker) return false;
  return text.size() == kMarker.size() || text[kMarker.size()] == '\n' || text[kMarker.size()] == '\r';
}

// The resource text of a machine file, starting with the marker line; 0 or an error code.
// Opens a machine file for reading its resources; 0 or an error code.
DWORD OpenResourceFile(LPCWSTR fileName, host::UniqueFd& fd, std::uint64_t& fileSize) {
  if (fileName == nullptr) return ERROR_INVALID_PARAMETER;
  auto host = MapToHost(fileName);
  if (!host) return ERROR_PATH_NOT_FOUND;
  fd = host::UniqueFd(::open(host->c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return Win32ErrorFromErrno(errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Win32ErrorFromErrno(errno);
  if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  fileSize = static_cast<std::uint64_t>(st.st_size);
  return ERROR_SUCCESS;
}

DWORD ReadResourceText(LPCWSTR fileName, std::string& text) {
  host::UniqueFd fd;
  std::uint64_t fileSize = 0;
  if (DWORD error = OpenResourceFile(fileName, fd, fileSize); error != ERROR_SUCCESS) return error;

  char head[SELFMAG] = {};
  if (fileSize >= SELFMAG && host::ReadAllAt(fd.get(), head, SELFMAG, 0) && std::memcmp(head, ELFMAG, SELFMAG) == 0) {
    auto section = version::detail::ReadElfSection(fd.get(), fileSize, kSectionName, kMaxResourceBytes);
    if (!section || !StartsWithMarker(*section)) return ERROR_RESOURCE_TYPE_NOT_FOUND;
    text = std::move(*section);
    return ERROR_SUCCESS;
  }

  std::string contents(std::min(fileSize, kMaxResourceBytes), '\0');
  if (!host::ReadAllAt(fd.get(), contents.data(), contents.size(), 0)) return ERROR_READ_FAULT;
  if (contents.substr(0, kUtf8Bom.size()) == kUtf8Bom) contents.erase(0, kUtf8Bom.size());
  if (!StartsWithMarker(contents)) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  text = std::move(contents);
  return ERROR_SUCCESS;
}

// --- Parsing it ------------------------------------------------------------------------

struct Resource {
  struct String {
    DWORD lang;
    std::wstring name;
    std::wstring value;
  };
  DWORD fileMS = 0, fileLS = 0, productMS = 0, productLS = 0;
  std::vector<DWORD> langs;  // in order of first appearance
  std::vector<String> strings;
};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// "a.b.c.d" (missing trailing parts are 0) into the two DWORDs of VS_FIXEDFILEINFO.
bool ParseVersion(std::string_view text, DWORD& ms, DWORD& ls) {
  DWORD parts[4] = {};
  std::size_t count = 0;
  text = Trim(text);
  if (text.empty()) return false;
  for (;;) {
    std::size_t dot = text.find('.');
    std::string_view part = text.substr(0, dot);
    if (count == 4 || part.empty() || part.size() > 5) return false;
    DWORD v = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + static_cast<DWORD>(c - '0');
    }
    if (v > 0xFFFF) return false;
    parts[count++] = v;
    if (dot == std::string_view::npos) break;
    text.remove_prefix(dot + 1);
  }
  ms = parts[0] << 16 | parts[1];
  ls = parts[2] << 16 | parts[3];
  return true;
}

template <class Char>
std::optional<DWORD> ParseLang(std::basic_string_view<Char> text) {
  if (text.size() != 8) return std::nullopt;
  DWORD v = 0;
  for (Char c : text) {
    int d = c >= '0' && c <= '9'   ? c - '0'
            : c >= 'a' && c <= 'f' ? c - 'a' + 10
            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                   : -1;
    if (d < 0) return std::nullopt;
    v = v << 4 | static_cast<DWORD>(d);
  }
  return v;
}

// Lines that do not fit "key=value" are ignored rather than failing the whole resource,
// as a version reader should cope with whatever a build wrote.
Resource ParseResource(std::string_view text) {
  Resource r;
  bool first = true;
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    if (std::exchange(first, false)) continue;  // the marker line
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = Trim(line.substr(0, eq));
    std::string_view value = line.substr(eq + 1);
    if (!value.empty() && value.back() == '\r') value.remove_suffix(1);

    if (std::size_t slash = key.find('/'); slash != std::string_view::npos) {
      auto lang = ParseLang(key.substr(0, slash));
      std::wstring name = Utf8ToWide(key.substr(slash + 1));
      if (!lang || name.empty()) continue;
      if (std::find(r.langs.begin(), r.langs.end(), *lang) == r.langs.end()) r.langs.push_back(*lang);
      auto existing = std::find_if(r.strings.begin(), r.strings.end(), [&](const Resource::String& s) {
        return s.lang == *lang && EqualsNoCase(s.name, name);
      });
      if (existing != r.strings.end()) {
        existing->value = Utf8ToWide(value);  // a later line wins
      } else {
        r.strings.push_back({*lang, std::move(name), Utf8ToWide(value)});
      }
      continue;
    }
    const std::wstring wideKey = Utf8ToWide(key);
    if (EqualsNoCase(wideKey, L"FileVersion")) {
      ParseVersion(value, r.fileMS, r.fileLS);
    } else if (EqualsNoCase(wideKey, L"ProductVersion")) {
      ParseVersion(value, r.productMS, r.productLS);
    }
  }
  return r;
}

// --- The block -------------------------------------------------------------------------
//
// GetFileVersionInfo hands out one flat block that refers to its parts by offsets from
// its own start, so the caller may copy or move it and VerQueryValue still works:
//
//   BlockHeader | translation table (WORD language, WORD code page)... |
//   StringEntry... | the strings, wchar_t, each NUL-terminated
//
// Every part starts at a multiple of 4 bytes, so the pointers VerQueryValue returns are
// aligned for what they point at when the block itself is.

constexpr DWORD kBlockMagic = 0x5245564B;  // "KVER"

struct BlockHeader {
  DWORD magic;
  DWORD size;
  VS_FIXEDFILEINFO fixed;
  DWORD translationOffset;
  DWORD translationCount;
  DWORD stringsOffset;
  DWORD stringCount;
};

struct StringEntry {
  DWORD lang;
  DWORD nameOffset;
  DWORD nameChars;  // terminator included
  DWORD valueOffset;
  DWORD valueChars;  // terminator included
};

static_assert(sizeof(BlockHeader) % 4 == 0 && sizeof(StringEntry) % 4 == 0 && sizeof(wchar_t) == 4);

template <class T>
void Put(std::vector<BYTE>& block, std::size_t offset, const T& value) {
  std::memcpy(block.data() + offset, &value, sizeof value);
}

template <class T>
T Get(const BYTE* block, std::size_t offset) {
  T value;
  std::memcpy(&value, block + offset, sizeof value);
  return value;
}

std::vector<BYTE> BuildBlock(const Resource& r) {
  const std::size_t translationOffset = sizeof(BlockHeader);
  const std::size_t stringsOffset = translationOffset + r.langs.size() * 2 * sizeof(WORD);
  std::size_t poolOffset = stringsOffset + r.strings.size() * sizeof(StringEntry);
  std::size_t size = poolOffset;
  for (const auto& s : r.strings) size += (s.name.size() + 1 + s.value.size() + 1) * sizeof(wchar_t);

  std::vector<BYTE> block(size, 0);
  BlockHeader header{};
  header.magic = kBlockMagic;
  header.size = static_cast<DWORD>(size);
  header.fixed.dwSignature = VS_FFI_SIGNATURE;
  header.fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
  header.fixed.dwFileVersionMS = r.fileMS;
  header.fixed.dwFileVersionLS = r.fileLS;
  header.fixed.dwProductVersionMS = r.productMS;
  header.fixed.dwProductVersionLS = r.productLS;
  header.fixed.dwFileFlagsMask = VS_FFI_FILEFLAGSMASK;
  header.fixed.dwFileOS = VOS_NT_WINDOWS32;
  header.fixed.dwFileType = VFT_APP;
  header.translationOffset = static_cast<DWORD>(translationOffset);
  header.translationCount = static_cast<DWORD>(r.langs.size());
  header.stringsOffset = static_cast<DWORD>(stringsOffset);
  header.stringCount = static_cast<DWORD>(r.strings.size());
  Put(block, 0, header);

  for (std::size_t i = 0; i < r.langs.size(); ++i) {
    Put(block, translationOffset + i * 4, static_cast<WORD>(r.langs[i] >> 16));
    Put(block, translationOffset + i * 4 + 2, static_cast<WORD>(r.langs[i] & 0xFFFF));
  }
  auto putText = [&](const std::wstring& text) {
    const std::size_t at = poolOffset;
    if (!text.empty()) std::memcpy(block.data() + at, text.data(), text.size() * sizeof(wchar_t));
    poolOffset += (text.size() + 1) * sizeof(wchar_t);  // the terminator is already zero
    return static_cast<DWORD>(at);
  };
  for (std::size_t i = 0; i < r.strings.size(); ++i) {
    const auto& s = r.strings[i];
    StringEntry entry{};
    entry.lang = s.lang;
    entry.nameOffset = putText(s.name);
    entry.nameChars = static_cast<DWORD>(s.name.size() + 1);
    entry.valueOffset = putText(s.value);
    entry.valueChars = static_cast<DWORD>(s.value.size() + 1);
    Put(block, stringsOffset + i * sizeof(StringEntry), entry);
  }
  return block;
}

DWORD BuildBlockFor(LPCWSTR fileName, std::vector<BYTE>& block) {
  std::string text;
  if (DWORD error = ReadResourceText(fileName, text); error != ERROR_SUCCESS) return error;
  block = BuildBlock(ParseResource(text));
  return ERROR_SUCCESS;
}

std::vector<std::wstring_view> SplitSubBlock(std::wstring_view path) {
  std::vector<std::wstring_view> out;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(L'\\', start);
    if (end == std::wstring_view::npos) end = path.size();
    if (end > start) out.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::wstring RunningProgramPath() {
  if (auto path = CurrentMachine().ProgramPath()) return *path;
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return MapFromHost(exe);
}

}  // namespace

DWORD GetModuleFileName(HMODULE module, wchar_t* fileName, DWORD size) {
  return base::detail::Traced<DWORD>(base::detail::kTraceVersion, "GetModuleFileName", [&]() -> DWORD {
    if (module != nullptr) {  // no other modules are loaded on this machine
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    if (fileName == nullptr && size != 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    const std::wstring path = RunningProgramPath();
    if (path.empty()) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    if (size == 0) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    if (path.size() < size) {
      std::copy(path.begin(), path.end(), fileName);
      fileName[path.size()] = L'\0';
      // Cleared on success so that a caller growing its buffer until the error goes away
      // does not see a stale one.
      SetLastError(ERROR_SUCCESS);
      return static_cast<DWORD>(path.size());
    }
    std::copy(path.begin(), path.begin() + (size - 1), fileName);
    fileName[size - 1] = L'\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  });
}

DWORD GetFileVersionInfoSize(LPCWSTR fileName, DWORD* handle) {
  return base::detail::Traced<DWORD>(base::detail::kTraceVersion, "GetFileVersionInfoSize", [&]() -> DWORD {
    if (handle != nullptr) *handle = 0;
    std::vector<BYTE> block;
    if (DWORD error = BuildBlockFor(fileName, block); error != ERROR_SUCCESS) {
      SetLastError(error);
      return 0;
    }
    return static_cast<DWORD>(block.size());
  });
}

BOOL GetFileVersionInfo(LPCWSTR fileName, DWORD /*handle*/, DWORD size, void* data) {
  return base::detail::Traced<BOOL>(base::detail::kTraceVersion, "GetFileVersionInfo", [&]() -> BOOL {
    if (data == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::vector<BYTE> block;
    if (DWORD error = BuildBlockFor(fileName, block); error != ERROR_SUCCESS) {
      SetLastError(error);
      return FALSE;
    }
    if (size < block.size()) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    std::memcpy(data, block.data(), block.size());
    return TRUE;
  });
}

BOOL VerQueryValue(const void* block, LPCWSTR subBlock, void** buffer, UINT* length) {
  return base::detail::Traced<BOOL>(base::detail::kTraceVersion, "VerQueryValue", [&]() -> BOOL {
    if (block == nullptr || subBlock == nullptr || buffer == nullptr || length == nullptr) return FALSE;
    const auto* base = static_cast<const BYTE*>(block);
    const auto header = Get<BlockHeader>(base, 0);
    if (header.magic != kBlockMagic) return FALSE;
    auto* mutableBase = const_cast<BYTE*>(base);  // the original hands out non-const pointers too

    const auto parts = SplitSubBlock(subBlock);
    if (parts.empty()) {
      *buffer = mutableBase + offsetof(BlockHeader, fixed);
      *length = sizeof(VS_FIXEDFILEINFO);
      return TRUE;
    }
    if (parts.size() == 2 && EqualsNoCase(parts[0], L"VarFileInfo") && EqualsNoCase(parts[1], L"Translation")) {
      if (header.translationCount == 0) return FALSE;
      *buffer = mutableBase + header.translationOffset;
      *length = header.translationCount * 2 * sizeof(WORD);
      return TRUE;
    }
    if (parts.size() == 3 && EqualsNoCase(parts[0], L"StringFileInfo")) {
      auto lang = ParseLang(parts[1]);
      if (!lang) return FALSE;
      for (DWORD i = 0; i < header.stringCount; ++i) {
        const auto entry = Get<StringEntry>(base, header.stringsOffset + i * sizeof(StringEntry));
        if (entry.lang != *lang || entry.nameOffset + entry.nameChars * sizeof(wchar_t) > header.size) continue;
        std::wstring name(entry.nameChars - 1, L'\0');
        std::memcpy(name.data(), base + entry.nameOffset, name.size() * sizeof(wchar_t));
        if (!EqualsNoCase(name, parts[2])) continue;
        *buffer = mutableBase + entry.valueOffset;
        *length = entry.valueChars;
        return TRUE;
      }
    }
    return FALSE;
  });
}

std::optional<std::string> ReadManifestResource(LPCWSTR fileName) {
  return base::detail::Traced<std::optional<std::string>>(
      base::detail::kTraceVersion, "ReadManifestResource", [&]() -> std::optional<std::string> {
        host::UniqueFd fd;
        std::uint64_t fileSize = 0;
        if (DWORD error = OpenResourceFile(fileName, fd, fileSize); error != ERROR_SUCCESS) {
          SetLastError(error);
          return std::nullopt;
        }
        auto manifest = version::detail::ReadElfSection(fd.get(), fileSize, kManifestSectionName, kMaxResourceBytes);
        if (!manifest || manifest->empty()) {
          SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
          return std::nullopt;
        }
        return manifest;
      });
}

}  // namespace platform
