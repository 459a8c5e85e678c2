// File versions of executables: another program's, and the running program's own.
#pragma once

#include <string>

#include "platform/version.h"

namespace Utils {

// The VS_FIXEDFILEINFO of the file's version resource; all zeros when it cannot be read.
platform::VS_FIXEDFILEINFO GetVersionValue(const wchar_t* pszExecutablePath);

// A file version as "a.b.c.d".
std::wstring FormatFileVersion(const platform::VS_FIXEDFILEINFO& info);
// The running program's file version as "a.b.c.d"; "0.0.0.0" when it cannot be read.
std::wstring GetBinaryVersion();

}  // namespace Utils
