// Finding and ending processes of the machine by executable name.
#pragma once

#include "platform/types.h"

namespace Korvo::Shared {

class CKorvoProcess {
 public:
  virtual ~CKorvoProcess() = default;

  // The id of the first process anywhere on the machine whose executable file name is
  // `exeName` (without regard to case), 0 when there is none. E_POINTER for a null
  // output, E_INVALIDARG for a null or empty name; S_OK otherwise, found or not.
  platform::HRESULT FindProcessID(const wchar_t* exeName, platform::DWORD* processId);

  // Ends the first process named `exeName` with exit code 0. E_FAIL for a null name,
  // E_INVALIDARG for an empty one, else S_OK whether or not a process was ended: one
  // process per call, callers that must end every instance repeat the call.
  platform::HRESULT KillProcessByName(const wchar_t* exeName);
};

}  // namespace Korvo::Shared
