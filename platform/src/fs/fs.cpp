#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/machine.h"
#include "platform/src/base/handles.h"
#include "platform/src/base/trace.h"
#include "platform/src/host/fd.h"
#include "platform/text.h"

namespace platform {
namespace {

// Codes only this area reports; types.h keeps the ones shared by several areas.
constexpr DWORD kErrorNotSameDevice = 17;
constexpr DWORD kErrorDirectory = 267;  // "the directory name is invalid"

constexpr std::size_t kMaxPathChars = 32767;  // the longest path the original accepts anywhere

bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

// --- Parsing machine paths ------------------------------------------------------

struct MachinePath {
  wchar_t drive = L'C';  // 'C' or 'Z'
  std::vector<std::wstring> parts;
};

std::wstring MapFromHostImpl(const std::filesystem::path& hostPath);

void AppendComponents(MachinePath& out, std::wstring_view rest) {
  std::size_t i = 0;
  while (i < rest.size()) {
    while (i < rest.size() && IsSeparator(rest[i])) ++i;
    std::size_t j = i;
    while (j < rest.size() && !IsSeparator(rest[j])) ++j;
    std::wstring_view part = rest.substr(i, j - i);
    if (part.empty() || part == L".") {
      // nothing: repeated separators and "." do not name anything
    } else if (part == L"..") {
      if (!out.parts.empty()) out.parts.pop_back();  // never above the drive root
    } else {
      out.parts.emplace_back(part);
    }
    i = j;
  }
}

std::optional<MachinePath> ParseAbsolute(std::wstring_view p);

// The process's current folder in machine form; the host's "/" when it cannot be read.
MachinePath CurrentFolder() {
  std::error_code ec;
  auto cwd = std::filesystem::current_path(ec);
  if (!ec) {
    if (auto parsed = ParseAbsolute(MapFromHostImpl(cwd))) return *parsed;
  }
  return MachinePath{L'Z', {}};
}

std::optional<MachinePath> ParseAbsolute(std::wstring_view p) {
  if (p.size() < 3 || p[1] != L':' || !IsSeparator(p[2])) return std::nullopt;
  const wchar_t drive = ToUpper(p[0]);
  if (drive != L'C' && drive != L'Z') return std::nullopt;
  MachinePath out;
  out.drive = drive;
  AppendComponents(out, p.substr(3));
  return out;
}

std::optional<MachinePath> Parse(std::wstring_view p) {
  if (p.empty() || p.size() > kMaxPathChars) return std::nullopt;
  if (p.size() >= 2 && IsSeparator(p[0]) && IsSeparator(p[1])) return std::nullopt;  // UNC and device paths
  if (p.size() >= 2 && p[1] == L':') {
    const wchar_t drive = ToUpper(p[0]);
    if (drive != L'C' && drive != L'Z') return std::nullopt;
    std::wstring_view rest = p.substr(2);
    MachinePath out;
    if (rest.empty() || !IsSeparator(rest[0])) {
      // "C:name": relative to the current folder when it is on that drive, as the
      // original keeps one current folder per drive and ours is the only one.
      MachinePath cwd = CurrentFolder();
      if (cwd.drive == drive) out = std::move(cwd);
    }
    out.drive = drive;
    AppendComponents(out, rest);
    return out;
  }
  MachinePath out = CurrentFolder();
  if (IsSeparator(p[0])) out.parts.clear();  // "\name": root of the current drive
  AppendComponents(out, p);
  return out;
}

// --- Host lookups -------------------------------------------------------------------

std::string JoinHost(const std::string& folder, std::string_view name) {
  std::string out = folder;
  if (out.empty() || out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

bool Exists(const std::string& host) {
  struct stat st;
  return ::lstat(host.c_str(), &st) == 0;
}

// The on-disk name in `folder` equal to `name` without regard to case.
std::optional<std::string> FindNoCase(const std::string& folder, std::wstring_view name) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return std::nullopt;
  std::optional<std::string> found;
  while (dirent* entry = ::readdir(dir)) {
    std::string_view candidate = entry->d_name;
    if (candidate == "." || candidate == "..") continue;
    if (EqualsNoCase(Utf8ToWide(candidate), name)) {
      found = std::string(candidate);
      break;
    }
  }
  ::closedir(dir);
  return found;
}

std::filesystem::path ToHost(const MachinePath& mp) {
  std::string base = mp.drive == L'Z' ? std::string("/") : CurrentMachine().DriveC().string();
  if (mp.parts.empty()) return base;

  // Most paths the system uses are spelled as they are on disk: one lookup settles it.
  std::string exact = base;
  for (const auto& part : mp.parts) exact = JoinHost(exact, WideToUtf8(part));
  if (Exists(exact)) return exact;

  std::string current = base;
  bool existing = true;
  for (const auto& part : mp.parts) {
    std::string name = WideToUtf8(part);
    std::string candidate = JoinHost(current, name);
    if (existing && !Exists(candidate)) {
      if (auto onDisk = FindNoCase(current, part)) {
        candidate = JoinHost(current, *onDisk);
      } else {
        existing = false;  // the rest cannot exist either: keep the given case
      }
    }
    current = std::move(candidate);
  }
  return current;
}

std::filesystem::path WithoutTrailingSeparator(std::filesystem::path p) {
  while (!p.has_filename() && p.has_relative_path()) p = p.parent_path();
  return p;
}

std::wstring MachineForm(wchar_t drive, const std::filesystem::path& relative) {
  std::wstring out{drive, L':', L'\\'};
  bool first = true;
  for (const auto& part : relative) {
    if (part.empty() || part == ".") continue;
    if (!first) out.push_back(L'\\');
    out += Utf8ToWide(part.native());
    first = false;
  }
  return out;
}

// `relative` of `p` below `base`, when `p` is `base` or inside it.
std::optional<std::filesystem::path> Below(const std::filesystem::path& p, const std::filesystem::path& base) {
  auto pi = p.begin();
  for (auto bi = base.begin(); bi != base.end(); ++bi, ++pi) {
    if (pi == p.end() || *pi != *bi) return std::nullopt;
  }
  std::filesystem::path rest;
  for (; pi != p.end(); ++pi) rest /= *pi;
  return rest;
}

std::wstring MapFromHostImpl(const std::filesystem::path& hostPath) {
  std::error_code ec;
  auto absolute = WithoutTrailingSeparator(std::filesystem::absolute(hostPath, ec).lexically_normal());
  if (ec) absolute = WithoutTrailingSeparator(hostPath.lexically_normal());
  const auto driveC = WithoutTrailingSeparator(CurrentMachine().DriveC().lexically_normal());
  if (auto rest = Below(absolute, driveC)) return MachineForm(L'C', *rest);
  // The same folders reached through a symbolic link still belong to drive C:.
  auto canonical = std::filesystem::weakly_canonical(absolute, ec);
  if (!ec) {
    auto canonicalC = std::filesystem::weakly_canonical(driveC, ec);
    if (!ec) {
      if (auto rest = Below(canonical, canonicalC)) return MachineForm(L'C', *rest);
    }
  }
  return MachineForm(L'Z', absolute.relative_path());
}

// The last component of a machine path as written.
std::wstring_view LastComponent(std::wstring_view path) {
  if (auto cut = path.find_last_of(L"\\/"); cut != std::wstring_view::npos) return path.substr(cut + 1);
  if (path.size() >= 2 && path[1] == L':') return path.substr(2);
  return path;
}

// --- Errors -----------------------------------------------------------------------------

// Host path of an argument, with the last error set when it has none.
std::optional<std::string> HostPathOf(LPCWSTR path) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return std::nullopt;
  }
  std::wstring_view view(path);
  if (view.size() > kMaxPathChars) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return std::nullopt;
  }
  auto parsed = Parse(view);
  if (!parsed) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return std::nullopt;
  }
  return ToHost(*parsed).string();
}

std::string ParentOf(const std::string& host) {
  auto slash = host.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return host.substr(0, slash);
}

// The original tells a missing file from a missing folder on the way to it.
DWORD ErrorForMissing(const std::string& host) {
  struct stat st;
  const std::string parent = ParentOf(host);
  if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
  return ERROR_FILE_NOT_FOUND;
}

BOOL FailWithErrno(const std::string& host, int err) {
  SetLastError(err == ENOENT ? ErrorForMissing(host) : Win32ErrorFromErrno(err));
  return FALSE;
}

FILETIME FileTimeOf(const struct timespec& ts) {
  return UInt64ToFileTime(UnixNanosToFileTime(static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec));
}

DWORD AttributesOf(const std::string& host, const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  DWORD attributes = 0;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(host.c_str(), W_OK) != 0) {
    attributes |= FILE_ATTRIBUTE_READONLY;
  }
  if (S_ISREG(st.st_mode)) attributes |= FILE_ATTRIBUTE_ARCHIVE;
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

template <class Data>
void FillFromStat(Data& data, const std::string& host, const struct stat& st) {
  data.dwFileAttributes = AttributesOf(host, st);
  data.ftCreationTime = FileTimeOf(st.st_ctim);
  data.ftLastAccessTime = FileTimeOf(st.st_atim);
  data.ftLastWriteTime = FileTimeOf(st.st_mtim);
  const std::uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::uint64_t>(st.st_size);
  data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data.nFileSizeLow = static_cast<DWORD>(size);
}

// stat() that still describes a dangling symbolic link instead of failing.
int StatOrLstat(const std::string& host, struct stat& st) {
  if (::stat(host.c_str(), &st) == 0) return 0;
  return ::lstat(host.c_str(), &st);
}

bool CopyContents(int from, int to) {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = host::RetryOnEintr([&] { return ::read(from, buffer.data(), buffer.size()); });
    if (n < 0) return false;
    if (n == 0) return true;
    if (!host::WriteAll(to, buffer.data(), static_cast<std::size_t>(n))) return false;
  }
}

// --- Environment -------------------------------------------------------------------------

std::vector<std::pair<std::wstring, std::wstring>> MachineEnvironment() {
  Machine& machine = CurrentMachine();
  const ProcessAccount& account = machine.Account();
  const std::wstring& profileFolder = account.profileFolder;
  const std::wstring localAppData = profileFolder + L"\\AppData\\Local";
  const std::wstring temp = EqualsNoCase(account.userName, L"SYSTEM") ? L"C:\\Windows\\TEMP" : localAppData + L"\\Temp";
  std::wstring computerName = L"KORVO-PC";
  const auto& profile = machine.Profile();
  if (auto it = profile.find("computerName"); it != profile.end() && it->is_string()) {
    computerName = Utf8ToWide(it->get<std::string>());
  }
  std::vector<std::pair<std::wstring, std::wstring>> env = {
      {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
      {L"APPDATA", profileFolder + L"\\AppData\\Roaming"},
      {L"COMPUTERNAME", computerName},
      {L"LOCALAPPDATA", localAppData},
      {L"OS", L"Windows_NT"},
      {L"ProgramData", L"C:\\ProgramData"},
      {L"ProgramFiles", L"C:\\Program Files"},
      {L"ProgramFiles(x86)", L"C:\\Program Files (x86)"},
      {L"SystemDrive", L"C:"},
      {L"SystemRoot", L"C:\\Windows"},
      {L"TEMP", temp},
      {L"TMP", temp},
      {L"USERNAME", account.userName},
      {L"USERPROFILE", profileFolder},
      {L"windir", L"C:\\Windows"},
  };
  if (auto it = profile.find("environment"); it != profile.end() && it->is_object()) {
    for (const auto& [key, value] : it->items()) {
      if (!value.is_string()) continue;
      std::wstring name = Utf8ToWide(key);
      std::wstring text = Utf8ToWide(value.get<std::string>());
      auto same = std::find_if(env.begin(), env.end(), [&](const auto& e) { return EqualsNoCase(e.first, name); });
      if (same != env.end()) {
        same->second = std::move(text);
      } else {
        env.emplace_back(std::move(name), std::move(text));
      }
    }
  }
  return env;
}

std::optional<std::wstring> LookUp(const std::vector<std::pair<std::wstring, std::wstring>>& env,
                                   std::wstring_view name) {
  for (const auto& [key, value] : env) {
    if (EqualsNoCase(key, name)) return value;
  }
  return std::nullopt;
}

// --- Known folders --------------------------------------------------------------------

std::optional<std::wstring> KnownFolder(int csidl) {
  const std::wstring& profileFolder = CurrentMachine().Account().profileFolder;
  switch (csidl) {
    case CSIDL_APPDATA:
      return profileFolder + L"\\AppData\\Roaming";
    case CSIDL_LOCAL_APPDATA:
      return profileFolder + L"\\AppData\\Local";
    case CSIDL_WINDOWS:
      return L"C:\\Windows";
    case CSIDL_SYSTEM:
      return L"C:\\Windows\\System32";
    case CSIDL_PROGRAM_FILES:
      return L"C:\\Program Files";
    case CSIDL_PROGRAM_FILESX86:
      return L"C:\\Program Files (x86)";
    default:
      return std::nullopt;
  }
}

// --- Find ------------------------------------------------------------------------------------

bool MatchWildcards(std::wstring_view pattern, std::wstring_view name) {
  std::size_t p = 0, n = 0;
  std::size_t starP = std::wstring_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == L'*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() &&
               (pattern[p] == L'?' || pattern[p] == name[n] || ToUpper(pattern[p]) == ToUpper(name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::wstring_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}

bool MatchFindPattern(std::wstring_view pattern, std::wstring_view name) {
  if (MatchWildcards(pattern, name)) return true;
  // A trailing ".*" also matches where the name ends, so "*.*" and "name.*" find
  // names without an extension as they do on the original.
  return pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == L".*" &&
         MatchWildcards(pattern.substr(0, pattern.size() - 2), name);
}

class FindObject final : public base::detail::KernelObject {
 public:
  std::mutex lock;
  std::vector<WIN32_FIND_DATA> entries;
  std::size_t next = 0;
};

}  // namespace

// --- Path mapping -------------------------------------------------------------------------

std::optional<std::filesystem::path> MapToHost(std::wstring_view machinePath) {
  return base::detail::Traced<std::optional<std::filesystem::path>>(base::detail::kTraceFs, "MapToHost",
                                                                    [&]() -> std::optional<std::filesystem::path> {
                                                                      auto parsed = Parse(machinePath);
                                                                      if (!parsed) return std::nullopt;
                                                                      return ToHost(*parsed);
                                                                    });
}

std::wstring MapFromHost(const std::filesystem::path& hostPath) {
  return base::detail::Traced<std::wstring>(base::detail::kTraceFs, "MapFromHost",
                                            [&]() -> std::wstring { return MapFromHostImpl(hostPath); });
}

// --- Known folders and environment --------------------------------------------------------

HRESULT SHGetFolderPath(void* /*hwnd*/, int csidl, HANDLE /*token*/, DWORD /*flags*/, wchar_t* path) {
  return base::detail::Traced<HRESULT>(base::detail::kTraceFs, "SHGetFolderPath", [&]() -> HRESULT {
    if (path == nullptr) return E_INVALIDARG;
    path[0] = L'\0';
    const bool create = (csidl & CSIDL_FLAG_CREATE) != 0;
    const bool verify = (csidl & CSIDL_FLAG_DONT_VERIFY) == 0;
    auto folder = KnownFolder(csidl & ~CSIDL_FLAG_MASK);
    if (!folder) return E_INVALIDARG;
    auto parsed = Parse(*folder);
    if (!parsed) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    const auto host = ToHost(*parsed);

    HRESULT result = S_OK;
    struct stat st;
    if ((create || verify) && (::stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
      if (create) {
        std::error_code ec;
        std::filesystem::create_directories(host, ec);
        if (ec) result = HRESULT_FROM_WIN32(Win32ErrorFromErrno(ec.value()));
      } else {
        result = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
      }
    }
    // The letter case of the folders that are on disk, like the original reports it.
    const std::wstring machinePath = MapFromHostImpl(host);
    if (machinePath.size() >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_BUFFER_OVERFLOW);
    std::wmemcpy(path, machinePath.c_str(), machinePath.size() + 1);
    return result;
  });
}

std::optional<std::wstring> GetMachineEnvironmentVariable(std::wstring_view name) {
  return base::detail::Traced<std::optional<std::wstring>>(
      base::detail::kTraceFs, "GetMachineEnvironmentVariable",
      [&]() -> std::optional<std::wstring> { return LookUp(MachineEnvironment(), name); });
}

DWORD GetEnvironmentVariable(LPCWSTR name, wchar_t* buffer, DWORD size) {
  return base::detail::Traced<DWORD>(base::detail::kTraceFs, "GetEnvironmentVariable", [&]() -> DWORD {
    if (name == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    auto value = GetMachineEnvironmentVariable(name);
    if (!value) {
      SetLastError(ERROR_ENVVAR_NOT_FOUND);
      return 0;
    }
    const auto length = static_cast<DWORD>(value->size());
    if (buffer == nullptr || size <= length) return length + 1;
    std::wmemcpy(buffer, value->c_str(), value->size() + 1);
    SetLastError(ERROR_SUCCESS);
    return length;
  });
}

DWORD ExpandEnvironmentStrings(LPCWSTR src, wchar_t* dst, DWORD size) {
  return base::detail::Traced<DWORD>(base::detail::kTraceFs, "ExpandEnvironmentStrings", [&]() -> DWORD {
    if (src == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    const auto env = MachineEnvironment();
    std::wstring_view in(src);
    std::wstring out;
    out.reserve(in.size());
    std::size_t i = 0;
    while (i < in.size()) {
      if (in[i] != L'%') {
        out.push_back(in[i++]);
        continue;
      }
      const std::size_t close = in.find(L'%', i + 1);
      if (close == std::wstring_view::npos) {
        out.append(in.substr(i));
        break;
      }
      const std::wstring_view name = in.substr(i + 1, close - i - 1);
      auto value = name.empty() ? std::nullopt : LookUp(env, name);
      if (value) {
        out += *value;
      } else {
        out.append(in.substr(i, close - i + 1));  // unknown names stay as written
      }
      i = close + 1;
    }
    const auto needed = static_cast<DWORD>(out.size() + 1);
    if (dst != nullptr && size >= needed) std::wmemcpy(dst, out.c_str(), out.size() + 1);
    return needed;
  });
}

// --- Files and folders ---------------------------------------------------------------------

DWORD GetFileAttributes(LPCWSTR path) {
  return base::detail::Traced<DWORD>(base::detail::kTraceFs, "GetFileAttributes", [&]() -> DWORD {
    auto host = HostPathOf(path);
    if (!host) return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    if (StatOrLstat(*host, st) != 0) {
      FailWithErrno(*host, errno);
      return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(*host, st);
  });
}

BOOL GetFileAttributesEx(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, void* info) {
  return base::detail::Traced<BOOL>(base::detail::kTraceFs, "GetFileAttributesEx", [&]() -> BOOL {
    if (level != GetFileExInfoStandard || info == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    auto host = HostPathOf(path);
    if (!host) return FALSE;
    struct stat st;
    if (StatOrLstat(*host, st) != 0) return FailWithErrno(*host, errno);
    FillFromStat(*static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(info), *host, st);
    return TRUE;
  });
}

BOOL CreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES /*attributes*/) {
  return base::detail::Traced<BOOL>(base::detail::kTraceFs, "CreateDirectory", [&]() -> BOOL {
    auto host = HostPathOf(path);
    if (!host) return FALSE;
    if (::mkdir(host->c_str(), 0777) != 0) {
      const int err = errno;
      SetLastError(err == ENOENT ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(err));
      return FALSE;
    }
    return TRUE;
  });
}

BOOL RemoveDirectory(LPCWSTR path) {
  return base::detail::Traced<BOOL>(base::detail::kTraceFs, "RemoveDirectory", [&]() -> BOOL {
    auto host = HostPathOf(path);
    if (!host) return FALSE;
    if (::rmdir(host->c_str()) != 0) {
      const int err = errno;
      struct stat st;
      if (err == ENOTDIR && ::lstat(host->c_str(), &st) == 0) {
        SetLastError(kErrorDirectory);  // it is a file
        return FALSE;
      }
      return FailWithErrno(*host, err);
    }
    return TRUE;
  });
}

BOOL DeleteFile(LPCWSTR path) {
  return base::detail::Traced<BOOL>(base::detail::kTraceFs, "DeleteFile", [&]() -> BOOL {
    auto host = HostPathOf(path);
    if (!host) return FALSE;
    struct stat st;
    if (::lstat(host->c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (::unlink(host->c_str()) != 0) return FailWithErrno(*host, errno);
    return TRUE;
  });
}

BOOL MoveFileEx(LPCWSTR from, LPCWSTR to, DWORD flags) {
  return base::detail::Traced<BOOL>(base::detail::kTraceFs, "MoveFileEx", [&]() -> BOOL {
    auto source = HostPathOf(from);
    if (!source) return FALSE;
    auto target = HostPathOf(to);
    if (!target) return FALSE;
    struct stat sourceStat;
    if (::lstat(source->c_str(), &sourceStat) != 0) return FailWithErrno(*source, errno);

    if (*target == *source) {
      // The target names the source itself (perhaps in other letter case): a rename
      // that only changes the case of the name.
      const std::wstring_view given = LastComponent(to);
      if (given.empty() || given == L"." || given == L"..") return TRUE;
      const std::string renamed = JoinHost(ParentOf(*target), WideToUtf8(given));
      if (renamed == *source) return TRUE;
      if (::rename(source->c_str(), renamed.c_str()) != 0) return FailWithErrno(renamed, errno);
      return TRUE;
    }

    int result = 0;
    if ((flags & MOVEFILE_REPLACE_EXISTING) != 0) {
      struct stat targetStat;
      if (::stat(target->c_str(), &targetStat) == 0 && S_ISDIR(targetStat.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);  // a folder is never replaced, not even an empty one
        return FALSE;
      }
      result = ::rename(source->c_str(), target->c_str());
    } else {
      result = ::renameat2(AT_FDCWD, source->c_str(), AT_FDCWD, target->c_str(), RENAME_NOREPLACE);
      if (result != 0 && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
        // File systems without RENAME_NOREPLACE: a hard link cannot replace anything
        // either; folders (and files where links fail) only get a check first.
        if (Exists(*target)) {
          errno = EEXIST;
          result = -1;
        } else if (!S_ISDIR(sourceStat.st_mode) && ::link(source->c_str(), target->c_str()) == 0) {
          ::unlink(source->c_str());
          result = 0;
        } else if (!S_ISDIR(sourceStat.st_mode) && errno == EEXIST) {
          result = -1;
        } else {
          result = ::rename(source->c_str(), target->c_str());
        }
      }
    }
    if (result == 0) return TRUE;
    const int err = errno;
    if (err == EXDEV) {
      if ((flags & MOVEFILE_COPY_ALLOWED) == 0 || S_ISDIR(sourceStat.st_mode)) {
        SetLastError(kErrorNotSameDevice);
        return FALSE;
      }
      if (!CopyFile(from, to, (flags & MOVEFILE_REPLACE_EXISTING) == 0 ? TRUE : FALSE)) return FALSE;
      if (::unlink(source->c_str()) != 0) return FailWithErrno(*source, errno);
      return TRUE;
    }
    if (err == ENOENT) {
      SetLastError(Exists(*source) ? ERROR_PATH_NOT_FOUND : ErrorForMissing(*source));
      return FALSE;
    }
    SetLastError(Win32ErrorFromErrno(err));
    return FALSE;
  });
}

// MoveFile moves files to another volume too, by copying them.
BOOL MoveFile(LPCWSTR from, LPCWSTR to) {
  return base::detail::Traced<BOOL>(base::detail::kTraceFs, "MoveFile",
                                    [&]() -> BOOL { return MoveFileEx(from, to, MOVEFILE_COPY_ALLOWED); });
}

BOOL CopyFile(LPCWSTR from, LPCWSTR to, BOOL failIfExists) {
  return base::detail::Traced<BOOL>(base::detail::kTraceFs, "CopyFile", [&]() -> BOOL {
    auto source = HostPathOf(from);
    if (!source) return FALSE;
    auto target = HostPathOf(to);
    if (!target) return FALSE;
    const int in = ::open(source->c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return FailWithErrno(*source, errno);
    struct stat st;
    if (::fstat(in, &st) != 0 || S_ISDIR(st.st_mode)) {
      ::close(in);
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    const int out =
        ::open(target->c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : 0), st.st_mode & 0777);
    if (out < 0) {
      const int err = errno;
      ::close(in);
      if (err == EEXIST) {
        SetLastError(ERROR_FILE_EXISTS);
        return FALSE;
      }
      return FailWithErrno(*target, err);
    }
    struct stat targetStat;
    if (::fstat(out, &targetStat) == 0 && targetStat.st_dev == st.st_dev && targetStat.st_ino == st.st_ino) {
      // Copying a file onto itself would truncate the only copy; the original refuses
      // because the source is open.
      ::close(in);
      ::close(out);
      SetLastError(ERROR_SHARING_VIOLATION);
      return FALSE;
    }
    bool ok = ::ftruncate(out, 0) == 0 && CopyContents(in, out);
    int err = errno;
    if (ok) {
      // The copy keeps the source's last-write time, as on the original.
      struct timespec times[2] = {{0, UTIME_NOW}, st.st_mtim};
      ::futimens(out, times);
    }
    ::close(in);
    if (::close(out) != 0 && ok) {
      ok = false;
      err = errno;
    }
    if (!ok) {
      SetLastError(Win32ErrorFromErrno(err));
      return FALSE;
    }
    return TRUE;
  });
}

BOOL SetFileLastWriteTime(LPCWSTR path, const FILETIME* lastWrite) {
  return base::detail::Traced<BOOL>(base::detail::kTraceFs, "SetFileLastWriteTime", [&]() -> BOOL {
    if (lastWrite == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    auto host = HostPathOf(path);
    if (!host) return FALSE;
    const std::int64_t nanos = FileTimeToUnixNanos(FileTimeToUInt64(*lastWrite));
    std::int64_t seconds = nanos / 1'000'000'000;
    std::int64_t rest = nanos % 1'000'000'000;
    if (rest < 0) {
      rest += 1'000'000'000;
      --seconds;
    }
    struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), static_cast<long>(rest)}};
    if (::utimensat(AT_FDCWD, host->c_str(), times, 0) != 0) return FailWithErrno(*host, errno);
    return TRUE;
  });
}

// --- Find ----------------------------------------------------------------------------------

HANDLE FindFirstFile(LPCWSTR pattern, WIN32_FIND_DATA* data) {
  return base::detail::Traced<HANDLE>(base::detail::kTraceFs, "FindFirstFile", [&]() -> HANDLE {
    if (pattern == nullptr || data == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    std::wstring_view full(pattern);
    std::wstring folder;
    std::wstring_view name;
    if (auto cut = full.find_last_of(L"\\/"); cut != std::wstring_view::npos) {
      folder = full.substr(0, cut + 1);
      name = full.substr(cut + 1);
    } else if (full.size() >= 2 && full[1] == L':') {
      folder = full.substr(0, 2);
      name = full.substr(2);
    } else {
      folder = L".";
      name = full;
    }
    auto host = HostPathOf(folder.c_str());
    if (!host) return INVALID_HANDLE_VALUE;
    if (name.empty()) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    DIR* dir = ::opendir(host->c_str());
    if (dir == nullptr) {
      const int err = errno;
      SetLastError(err == ENOENT || err == ENOTDIR ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(err));
      return INVALID_HANDLE_VALUE;
    }
    auto find = std::make_shared<FindObject>();
    std::vector<std::pair<std::wstring, std::string>> matches;  // upper-cased name for sorting, on-disk name
    while (dirent* entry = ::readdir(dir)) {
      std::string_view onDisk = entry->d_name;
      if (onDisk == "." || onDisk == "..") continue;
      std::wstring wide = Utf8ToWide(onDisk);
      if (wide.size() >= MAX_PATH || !MatchFindPattern(name, wide)) continue;
      matches.emplace_back(ToUpper(wide), std::string(onDisk));
    }
    ::closedir(dir);
    // Listed in the order the original's file system keeps its folders: by upper-cased name.
    std::sort(matches.begin(), matches.end());
    for (const auto& [upper, onDisk] : matches) {
      const std::string entryPath = JoinHost(*host, onDisk);
      struct stat st;
      if (StatOrLstat(entryPath, st) != 0) continue;  // removed meanwhile
      WIN32_FIND_DATA found{};
      FillFromStat(found, entryPath, st);
      const std::wstring wide = Utf8ToWide(onDisk);
      std::wmemcpy(found.cFileName, wide.c_str(), wide.size() + 1);
      find->entries.push_back(found);
    }
    if (find->entries.empty()) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    *data = find->entries[0];
    find->next = 1;
    SetLastError(ERROR_SUCCESS);
    return base::detail::InsertHandle(std::move(find));
  });
}

BOOL FindNextFile(HANDLE handle, WIN32_FIND_DATA* data) {
  return base::detail::Traced<BOOL>(base::detail::kTraceFs, "FindNextFile", [&]() -> BOOL {
    auto find = base::detail::LookupHandleAs<FindObject>(handle);
    if (!find) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (data == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::lock_guard guard(find->lock);
    if (find->next >= find->entries.size()) {
      SetLastError(ERROR_NO_MORE_FILES);
      return FALSE;
    }
    *data = find->entries[find->next++];
    return TRUE;
  });
}

BOOL FindClose(HANDLE handle) {
  return base::detail::Traced<BOOL>(base::detail::kTraceFs, "FindClose", [&]() -> BOOL {
    if (!base::detail::LookupHandleAs<FindObject>(handle) || !base::detail::RemoveHandle(handle)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    return TRUE;
  });
}

// --- Temporary names -----------------------------------------------------------------------

UINT GetTempFileName(LPCWSTR path, LPCWSTR prefix, UINT unique, wchar_t* tempFileName) {
  return base::detail::Traced<UINT>(base::detail::kTraceFs, "GetTempFileName", [&]() -> UINT {
    if (path == nullptr || tempFileName == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    std::wstring base(path);
    if (!base.empty() && !IsSeparator(base.back())) base.push_back(L'\\');
    if (prefix != nullptr) base.append(std::wstring_view(prefix).substr(0, 3));
    auto nameFor = [&](UINT number) {
      wchar_t digits[8];
      std::swprintf(digits, 8, L"%04X", number & 0xFFFF);
      return base + digits + L".TMP";
    };
    if (base.size() + 8 >= MAX_PATH) {  // 4 digits, ".TMP" and the terminator must fit
      SetLastError(ERROR_BUFFER_OVERFLOW);
      return 0;
    }

    if (unique != 0) {
      const std::wstring name = nameFor(unique);
      std::wmemcpy(tempFileName, name.c_str(), name.size() + 1);
      return unique;
    }

    // Numbers from a seed that differs per call, so processes sharing a folder rarely
    // race for the same one; O_EXCL settles the races that remain.
    static std::atomic<UINT> counter{0};
    const UINT seed = static_cast<UINT>(CurrentMachine().GetClock().SystemTime100ns() / 10000) +
                      static_cast<UINT>(::getpid()) * 31 + counter.fetch_add(1) * 7919;
    for (UINT attempt = 0; attempt < 0x10000; ++attempt) {
      const UINT number = (seed + attempt) & 0xFFFF;
      if (number == 0) continue;  // 0 is the failure return
      const std::wstring name = nameFor(number);
      auto host = HostPathOf(name.c_str());
      if (!host) return 0;
      const int fd = ::open(host->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        ::close(fd);
        std::wmemcpy(tempFileName, name.c_str(), name.size() + 1);
        return number;
      }
      if (errno == EEXIST) continue;
      const int err = errno;
      SetLastError(err == ENOENT || err == ENOTDIR ? kErrorDirectory : Win32ErrorFromErrno(err));
      return 0;
    }
    SetLastError(ERROR_FILE_EXISTS);
    return 0;
  });
}

// --- CRT path splitting ---------------------------------------------------------------------

int _wsplitpath_s(LPCWSTR path, wchar_t* drive, std::size_t driveCount, wchar_t* dir, std::size_t dirCount,
                  wchar_t* fname, std::size_t fnameCount, wchar_t* ext, std::size_t extCount) {
  struct Part {
    wchar_t* buffer;
    std::size_t count;
    std::wstring_view value;
  };
  Part parts[] = {{drive, driveCount, {}}, {dir, dirCount, {}}, {fname, fnameCount, {}}, {ext, extCount, {}}};
  auto clear = [&] {
    for (auto& part : parts) {
      if (part.buffer != nullptr && part.count > 0) part.buffer[0] = L'\0';
    }
  };
  // A buffer goes with its size: null with 0 means "not wanted", anything else
  // mismatched is an invalid argument.
  bool consistent = path != nullptr;
  for (const auto& part : parts) {
    if ((part.buffer == nullptr) != (part.count == 0)) consistent = false;
  }
  if (!consistent) {
    clear();
    errno = EINVAL;
    return EINVAL;
  }

  std::wstring_view rest(path);
  if (rest.size() >= 2 && rest[1] == L':') {
    parts[0].value = rest.substr(0, 2);
    rest.remove_prefix(2);
  }
  const std::size_t lastSeparator = rest.find_last_of(L"\\/");
  if (lastSeparator != std::wstring_view::npos) {
    parts[1].value = rest.substr(0, lastSeparator + 1);
    rest.remove_prefix(lastSeparator + 1);
  }
  const std::size_t lastDot = rest.find_last_of(L'.');
  if (lastDot != std::wstring_view::npos) {
    parts[2].value = rest.substr(0, lastDot);
    parts[3].value = rest.substr(lastDot);
  } else {
    parts[2].value = rest;
  }

  for (const auto& part : parts) {
    if (part.buffer != nullptr && part.value.size() >= part.count) {
      clear();
      errno = ERANGE;
      return ERANGE;
    }
  }
  for (const auto& part : parts) {
    if (part.buffer == nullptr) continue;
    std::wmemcpy(part.buffer, part.value.data(), part.value.size());
    part.buffer[part.value.size()] = L'\0';
  }
  return 0;
}

int _wmakepath_s(wchar_t* path, std::size_t count, LPCWSTR drive, LPCWSTR dir, LPCWSTR fname, LPCWSTR ext) {
  if (path == nullptr || count == 0) {
    errno = EINVAL;
    return EINVAL;
  }
  std::wstring out;
  if (drive != nullptr && drive[0] != L'\0') {
    out.push_back(drive[0]);  // the letter; the colon is always added
    out.push_back(L':');
  }
  if (dir != nullptr && dir[0] != L'\0') {
    out += dir;
    if (!IsSeparator(out.back())) out.push_back(L'\\');
  }
  if (fname != nullptr) out += fname;
  if (ext != nullptr && ext[0] != L'\0') {
    if (ext[0] != L'.') out.push_back(L'.');
    out += ext;
  }
  if (out.size() >= count) {
    path[0] = L'\0';
    errno = ERANGE;
    return ERANGE;
  }
  std::wmemcpy(path, out.c_str(), out.size() + 1);
  return 0;
}

// --- Whole files ---------------------------------------------------------------------------

std::optional<std::string> ReadFileBytes(LPCWSTR path) {
  return base::detail::Traced<std::optional<std::string>>(base::detail::kTraceFs, "ReadFileBytes",
                                                          [&]() -> std::optional<std::string> {
                                                            auto host = HostPathOf(path);
                                                            if (!host) return std::nullopt;
                                                            const int fd = ::open(host->c_str(), O_RDONLY | O_CLOEXEC);
                                                            if (fd < 0) {
                                                              FailWithErrno(*host, errno);
                                                              return std::nullopt;
                                                            }
                                                            struct stat st;
                                                            if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
                                                              ::close(fd);
                                                              SetLastError(ERROR_ACCESS_DENIED);
                                                              return std::nullopt;
                                                            }
                                                            std::string bytes;
                                                            bytes.reserve(static_cast<std::size_t>(st.st_size));
                                                            const bool read = host::ReadToEnd(fd, &bytes);
                                                            const int err = errno;
                                                            ::close(fd);
                                                            if (!read) {
                                                              SetLastError(Win32ErrorFromErrno(err));
                                                              return std::nullopt;
                                                            }
                                                            return bytes;
                                                          });
}

}  // namespace platform
