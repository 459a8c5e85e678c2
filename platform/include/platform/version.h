// The running program's path and file version resources.
//
// Each of our executables carries its version resource in an ELF section named
// ".korvo_version" (written at build time by korvo_add_version_resource() in
// cmake/VersionResource.cmake). A file on the machine that is not ELF carries one when
// its content starts with the line "KORVO-VERSION-RESOURCE"; machine profiles seed
// such files for the third-party programs they declare. The resource text is UTF-8,
// one "key=value" a line after the marker line:
//
//   FileVersion=7.0.5.1
//   ProductVersion=7.0.5.1
//   040904E4/ProductName=Korvo Tallisk
//   040904B0/FileDescription=...
//
// GetFileVersionInfo turns that into a block that VerQueryValue reads with the
// original's sub-blocks: "\" (VS_FIXEDFILEINFO), "\VarFileInfo\Translation" and
// "\StringFileInfo\<lang-codepage>\<name>".
#pragma once

#include <optional>
#include <string>

#include "platform/types.h"

namespace platform {

// The machine path of the running program (`module` must be null), for example
// "Z:\work\main\build\dev\service\Varnel". Truncates like the original, returning
// `size` with ERROR_INSUFFICIENT_BUFFER; 0 on failure.
DWORD GetModuleFileName(HMODULE module, wchar_t* fileName, DWORD size);

struct VS_FIXEDFILEINFO {
  DWORD dwSignature;  // 0xFEEF04BD
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};

inline constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BD;

inline constexpr WORD HIWORD(DWORD v) {
  return static_cast<WORD>(v >> 16);
}
inline constexpr WORD LOWORD(DWORD v) {
  return static_cast<WORD>(v & 0xFFFF);
}

// 0 with ERROR_RESOURCE_TYPE_NOT_FOUND (1813) when the file has no resource,
// ERROR_FILE_NOT_FOUND when it does not exist.
DWORD GetFileVersionInfoSize(LPCWSTR fileName, DWORD* handle);
BOOL GetFileVersionInfo(LPCWSTR fileName, DWORD handle, DWORD size, void* data);
// `*buffer` points into `block`; `*length` is the size in bytes for "\" and the
// translation table, in characters including the terminator for strings.
BOOL VerQueryValue(const void* block, LPCWSTR subBlock, void** buffer, UINT* length);

inline constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
inline constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;

// The application manifest a program carries as a resource (korvo_add_manifest_resource()
// in cmake/ManifestResource.cmake writes it into an ELF section ".korvo_manifest"), as
// UTF-8 XML. Null with the last error set: ERROR_FILE_NOT_FOUND for a missing file,
// ERROR_RESOURCE_TYPE_NOT_FOUND when the file carries no manifest.
std::optional<std::string> ReadManifestResource(LPCWSTR fileName);

}  // namespace platform
