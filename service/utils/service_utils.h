// Looking at services of the machine: open one, check that it is installed and running,
// read the file version of its executable, and set the service's own recovery actions.
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

// Makes the service control manager restart `serviceName` after a failure: three
// restarts, 120, 240 and 360 seconds after the failure, the count reset after an hour
// without failures, and a stop with a non-zero exit code counts as a failure too.
// 0 on success; -1, -2, -3 as GetService; else bit 0x01 when the actions could not be
// set and bit 0x10 when the flag could not be set.
int SetServiceRestartRecoveryOnFailure(const wchar_t* serviceName);

}  // namespace Utils
