// The service program's entry point as a library function: the command line decides
// whether to install the service, remove it, run it in the console for diagnosis, or
// hand the process to the service control manager. What the program prints goes to
// `out` (standard output in the program), so tests drive it in-process.
//
//   varnel -install | -remove | -console     (also with "/", any letter case)
//   varnel                                   usage, then run as the service
#pragma once

#include <ostream>

#include "platform/types.h"

// The fixed identities of the service.
inline constexpr const wchar_t* kVarnelServiceName = L"Varnel";
inline constexpr const wchar_t* kVarnelDisplayName = L"Korvo Vesk Service";
inline constexpr const wchar_t* kVarnelDescription = L"Korvo Tallisk Service";

// Always 0; a console run whose server cannot start ends the process with its status.
int VarnelMain(int argc, wchar_t** argv, std::ostream& out);

// Installs the running program as the own-process, interactive service `serviceName`
// with its binary path in double quotes and the description set; every failed step is
// printed with its Windows error. Recovery actions are left to the service's own start.
void InstallService(const wchar_t* serviceName, const wchar_t* displayName, const wchar_t* description,
                    platform::DWORD startType, const wchar_t* dependencies, const wchar_t* account,
                    const wchar_t* password, std::ostream& out);

// Stops the service (waiting while it is stop-pending), deletes it, and ends every
// running instance of the hotkey notification program, whatever happened before.
void UninstallService(const wchar_t* serviceName, std::ostream& out);
