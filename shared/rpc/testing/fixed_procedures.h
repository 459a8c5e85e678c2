// A plain implementation of the interface's eight procedures for the benchmarks and the
// fuzz targets: fixed answers, real context handles with their rundown, and the
// stub memory routines. Tests that need to watch or steer the procedures write their own.
#pragma once

#include <string>

namespace korvo::rpc_testing {

// What ReadSysInfo and ReadUSBTypeCInfo answer; an empty text is answered as a null
// array with size 0. Set before serving: the procedures read these without locking.
void SetAnswers(std::u16string sysInfo, std::u16string usbTypeC);

// Contexts opened and not yet closed or run down.
int OpenContexts();

}  // namespace korvo::rpc_testing
