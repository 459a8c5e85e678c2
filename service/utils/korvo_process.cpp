#include "service/utils/korvo_process.h"

#include "platform/sessions.h"
#include "platform/text.h"

namespace Korvo::Shared {

using namespace platform;

HRESULT CKorvoProcess::FindProcessID(const wchar_t* exeName, DWORD* processId) {
  if (processId == nullptr) return E_POINTER;
  *processId = 0;
  if (exeName == nullptr || *exeName == L'\0') return E_INVALIDARG;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return S_OK;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, exeName) == 0) {
      *processId = entry.th32ProcessID;
      break;
    }
  }
  CloseHandle(snapshot);
  return S_OK;
}

HRESULT CKorvoProcess::KillProcessByName(const wchar_t* exeName) {
  if (exeName == nullptr) return E_FAIL;
  if (*exeName == L'\0') return E_INVALIDARG;
  DWORD processId = 0;
  FindProcessID(exeName, &processId);
  if (processId != 0) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, processId);
    if (process != nullptr) {
      TerminateProcess(process, 0);
      CloseHandle(process);
    }
  }
  return S_OK;
}

}  // namespace Korvo::Shared
