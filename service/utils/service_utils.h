// Looking at other services of the machine: open one, check that it is installed and
// running, and read the file version of its executable.
#pragma once

#include "platform/scm.h"
#include "platform/version.h"

namespace Utils {

// Opens the service control manager with `dwSCMAccess` and the service with all access.
// 0 on success; -1 the service does not exist; -2 it could not be opened for another
// reason; -3 the service control manager could not be opened. The caller closes both
// handles when they are not null.
int GetService(const wchar_t* pszServiceName, platform::SC_HANDLE* phSCManager, platform::SC_HANDLE* phService,
               platform::DWORD dwSCMAccess);

// 0 installed (and running, when bCheckRunning); 1 installed but not running; 2 its
// configuration could not be read; -1, -2, -3 as GetService. With bGetVersion the
// file version of the service's executable is read into versionInfo (zeros when it
// has none).
int IsServicePresent(const wchar_t* pszServiceName, platform::VS_FIXEDFILEINFO& versionInfo,
                     platform::BOOL bCheckRunning, platform::BOOL bGetVersion, platform::DWORD dwSCMAccess);

}  // namespace Utils
