// Files and folders of the machine. Paths keep the original's form ("C:\Windows\...");
// drive C: is <root>/drive_c of the current machine and drive Z: is the host's "/", so
// the machine sees our own executables where they really are. Path components are
// looked up without regard to letter case, as the original's file system does; a new
// file or folder is created with the letter case it is given.
//
// The machine root comes from KORVO_MACHINE_ROOT; without it, every user has one at
// ${XDG_STATE_HOME:-$HOME/.local/state}/korvo/machine (see machine.h).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace platform {

inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001;
inline constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x00000002;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
inline constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x00000020;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;

inline constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x00000001;
inline constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x00000002;

// --- Path mapping -----------------------------------------------------------------

// Host path of a machine path. Existing components are matched without regard to
// case; the rest are appended as given. Accepts "\" and "/" as separators, drive
// letters C: and Z: (any case), and paths relative to the host's working folder.
// Returns nullopt for other drives, UNC paths and empty input.
std::optional<std::filesystem::path> MapToHost(std::wstring_view machinePath);

// Machine path of a host path: under <root>/drive_c it is "C:\...", anything else
// "Z:\..." with backslashes.
std::wstring MapFromHost(const std::filesystem::path& hostPath);

// --- Known folders and environment ------------------------------------------------

inline constexpr int CSIDL_APPDATA = 0x001a;  // roaming application data
inline constexpr int CSIDL_LOCAL_APPDATA = 0x001c;
inline constexpr int CSIDL_PROGRAM_FILESX86 = 0x002a;
inline constexpr int CSIDL_PROGRAM_FILES = 0x0026;
inline constexpr int CSIDL_WINDOWS = 0x0024;
inline constexpr int CSIDL_SYSTEM = 0x0025;
inline constexpr int CSIDL_FLAG_CREATE = 0x8000;
inline constexpr int CSIDL_FLAG_DONT_VERIFY = 0x4000;  // report the path without looking at the disk
inline constexpr int CSIDL_FLAG_MASK = 0xFF00;

// The folder for `csidl` of the account this program runs as (machine.h: the
// process account; LocalSystem for the service, whose roaming folder is
// "C:\Windows\System32\config\systemprofile\AppData\Roaming"). With
// CSIDL_FLAG_CREATE the folder is created when missing. `path` holds MAX_PATH
// characters. S_OK, or an HRESULT such as HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND).
HRESULT SHGetFolderPath(void* hwnd, int csidl, HANDLE token, DWORD flags, wchar_t* path);

// Environment of the machine: SystemDrive ("C:"), SystemRoot, windir, ProgramFiles,
// ProgramFiles(x86), ProgramData, APPDATA, USERPROFILE, and anything the profile sets.
// The size protocol of the original: returns the length without the terminator on
// success, the needed size with the terminator when `size` is too small, and 0 with
// ERROR_ENVVAR_NOT_FOUND when the variable is not set.
DWORD GetEnvironmentVariable(LPCWSTR name, wchar_t* buffer, DWORD size);
DWORD ExpandEnvironmentStrings(LPCWSTR src, wchar_t* dst, DWORD size);
std::optional<std::wstring> GetMachineEnvironmentVariable(std::wstring_view name);

// --- Files and folders --------------------------------------------------------------

struct WIN32_FILE_ATTRIBUTE_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
};
enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard = 0 };

struct WIN32_FIND_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  wchar_t cFileName[MAX_PATH];
  wchar_t cAlternateFileName[14];
};

DWORD GetFileAttributes(LPCWSTR path);  // INVALID_FILE_ATTRIBUTES + last error
BOOL GetFileAttributesEx(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, void* info);
// ERROR_ALREADY_EXISTS when it exists, ERROR_PATH_NOT_FOUND when the parent does not.
BOOL CreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes);
BOOL RemoveDirectory(LPCWSTR path);
BOOL DeleteFile(LPCWSTR path);
// Fails with ERROR_ALREADY_EXISTS when the target exists (unless replacing).
BOOL MoveFile(LPCWSTR from, LPCWSTR to);
BOOL MoveFileEx(LPCWSTR from, LPCWSTR to, DWORD flags);
BOOL CopyFile(LPCWSTR from, LPCWSTR to, BOOL failIfExists);
// Sets a file's last-write time (tests and tools use it to age files).
BOOL SetFileLastWriteTime(LPCWSTR path, const FILETIME* lastWrite);

// Wildcards '*' and '?' in the last component, matched without regard to case as the
// original does ("*" also matches names with dots; a pattern's trailing ".*" matches
// names without an extension). INVALID_HANDLE_VALUE + ERROR_FILE_NOT_FOUND when
// nothing matches; FindNextFile ends with ERROR_NO_MORE_FILES.
HANDLE FindFirstFile(LPCWSTR pattern, WIN32_FIND_DATA* data);
BOOL FindNextFile(HANDLE find, WIN32_FIND_DATA* data);
BOOL FindClose(HANDLE find);

// Name "<path>\<first 3 chars of prefix><unique as 4 upper-case hex digits>.TMP".
// With a non-zero `unique` no file is created; with 0 a unique name is chosen and
// an empty file created. Returns the number used, 0 on failure.
UINT GetTempFileName(LPCWSTR path, LPCWSTR prefix, UINT unique, wchar_t* tempFileName);

// CRT path splitting: drive "C:", folder with trailing "\", name, extension with ".".
// Returns 0 or EINVAL / ERANGE like the original.
int _wsplitpath_s(LPCWSTR path, wchar_t* drive, std::size_t driveCount, wchar_t* dir, std::size_t dirCount,
                  wchar_t* fname, std::size_t fnameCount, wchar_t* ext, std::size_t extCount);
int _wmakepath_s(wchar_t* path, std::size_t count, LPCWSTR drive, LPCWSTR dir, LPCWSTR fname, LPCWSTR ext);

inline constexpr std::size_t _MAX_DRIVE = 3;
inline constexpr std::size_t _MAX_DIR = 256;
inline constexpr std::size_t _MAX_FNAME = 256;
inline constexpr std::size_t _MAX_EXT = 256;

// --- CRT streams ---------------------------------------------------------------------
//
// Text streams with the original's CRT modes "r", "w", "a", each with "+", "b"/"t"
// and ",ccs=UTF-8" / ",ccs=UTF-16LE" / ",ccs=UNICODE". With ccs=UTF-8 a file that is
// new or empty when opened for writing starts with a UTF-8 byte-order mark; a mark at
// the start is skipped when reading. Text mode writes "\n" as CR LF and reads CR LF
// as "\n". "a" modes always write at the end; "a+" reads from the start. Writes are
// buffered in the process and reach the file on fflush, fclose or when the buffer
// fills. Without ccs the wide functions write and read UTF-8 without a mark (where
// the original would use the ANSI code page); a ccs together with "b" is refused
// (EINVAL). fread and fwrite move raw bytes in every mode.

struct CrtStream;

int _wfopen_s(CrtStream** stream, LPCWSTR path, LPCWSTR mode);  // 0 or an errno value
CrtStream* _wfopen(LPCWSTR path, LPCWSTR mode);
int fclose(CrtStream* stream);
int fflush(CrtStream* stream);
int fputws(LPCWSTR text, CrtStream* stream);  // >= 0, or WEOF-like -1
int fputws(std::wstring_view text, CrtStream* stream);
wchar_t* fgetws(wchar_t* buffer, int count, CrtStream* stream);                           // null at end or on error
std::size_t fread(void* buffer, std::size_t size, std::size_t count, CrtStream* stream);  // binary
std::size_t fwrite(const void* buffer, std::size_t size, std::size_t count, CrtStream* stream);
int feof(CrtStream* stream);
int ferror(CrtStream* stream);

// Reads a whole file as bytes; nullopt with the last error set when it cannot be read.
std::optional<std::string> ReadFileBytes(LPCWSTR path);

}  // namespace platform
