#include "service/utils/service_utils.h"

#include <cstdint>
#include <vector>

#include "service/logging/korvo_log.h"
#include "service/utils/version_utils.h"

namespace Utils {

using namespace platform;
using Korvo::Shared::GetLogger;
using Korvo::Shared::LogLevel;
using Korvo::Shared::TraceScope;

int GetService(const wchar_t* pszServiceName, SC_HANDLE* phSCManager, SC_HANDLE* phService, DWORD dwSCMAccess) {
  constexpr const char* kFunction = "Utils::GetService";
  TraceScope trace(kFunction, L"Service Name = %s", pszServiceName);
  int result = 0;
  *phService = nullptr;
  *phSCManager = OpenSCManager(nullptr, nullptr, dwSCMAccess);
  if (*phSCManager == nullptr) {
    GetLogger()->Log(LogLevel::Error, kFunction, L"OpenSCManager failed w/err 0x%08lx", GetLastError());
    result = -3;
  } else {
    *phService = OpenService(*phSCManager, pszServiceName, SERVICE_ALL_ACCESS);
    if (*phService == nullptr) {
      const DWORD error = GetLastError();
      if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        GetLogger()->Log(LogLevel::Error, kFunction, L"Service does not exist. Error 0x%08lx", error);
        result = -1;
      } else {
        GetLogger()->Log(LogLevel::Error, kFunction, L"OpenService failed w/err 0x%08lx", error);
        result = -2;
      }
    }
  }
  trace.Out(L"Return Value = %d", result);
  return result;
}

int IsServicePresent(const wchar_t* pszServiceName, VS_FIXEDFILEINFO& versionInfo, BOOL bCheckRunning, BOOL bGetVersion,
                     DWORD dwSCMAccess) {
  constexpr const char* kFunction = "Utils::IsServicePresent";
  TraceScope trace(kFunction, L"Service Name = %s, Running Status To be checked = %d, To Get version Info Status = %d",
                   pszServiceName, bCheckRunning, bGetVersion);
  SC_HANDLE hSCManager = nullptr;
  SC_HANDLE hService = nullptr;
  int result = GetService(pszServiceName, &hSCManager, &hService, dwSCMAccess);

  if (result == 0) {
    if (bCheckRunning) {
      GetLogger()->Log(LogLevel::Information, kFunction, L"%s Service is installed. Querying status..", pszServiceName);
      SERVICE_STATUS_PROCESS status{};
      DWORD bytesNeeded = 0;
      // A failed query says nothing about the service, so the result stays 0.
      if (QueryServiceStatusEx(hService, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                               &bytesNeeded)) {
        GetLogger()->Log(LogLevel::Information, kFunction, L"%s Service status = 0x%08lx", pszServiceName,
                         status.dwCurrentState);
        if (status.dwCurrentState == SERVICE_RUNNING) {
          GetLogger()->Log(LogLevel::Information, kFunction, L"%s Service is running", pszServiceName);
          result = 0;
        } else {
          GetLogger()->Log(LogLevel::Error, kFunction, L"%s Service is not running", pszServiceName);
          result = 1;
        }
      }
    }

    if (bGetVersion) {
      versionInfo = VS_FIXEDFILEINFO{};
      DWORD bytesNeeded = 0;
      if (!QueryServiceConfig(hService, nullptr, 0, &bytesNeeded) && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        GetLogger()->Log(LogLevel::Error, kFunction, L"QueryServiceConfig failed w/err 0x%08lx", GetLastError());
        result = 2;
      } else {
        // The configuration holds pointers into itself, so keep it pointer-aligned.
        std::vector<std::uintptr_t> buffer((bytesNeeded + sizeof(std::uintptr_t) - 1) / sizeof(std::uintptr_t) + 1);
        auto* pConfig = reinterpret_cast<QUERY_SERVICE_CONFIG*>(buffer.data());
        if (!QueryServiceConfig(hService, pConfig, bytesNeeded, &bytesNeeded)) {
          GetLogger()->Log(LogLevel::Error, kFunction, L"QueryServiceConfig failed w/err 0x%08lx", GetLastError());
          result = 2;
        } else {
          // The installer stores the path in double quotes: drop the first and last character.
          std::wstring path = pConfig->lpBinaryPathName != nullptr ? pConfig->lpBinaryPathName : L"";
          path = path.size() >= 2 ? path.substr(1, path.size() - 2) : std::wstring();
          GetLogger()->Log(LogLevel::Verbose, kFunction, L"%s service installed path = %s", pszServiceName, path);
          versionInfo = GetVersionValue(path.c_str());
        }
      }
    }
  }

  if (hService != nullptr) CloseServiceHandle(hService);
  if (hSCManager != nullptr) CloseServiceHandle(hSCManager);
  trace.Out(L"Return Value = %d", result);
  return result;
}

int SetServiceRestartRecoveryOnFailure(const wchar_t* serviceName) {
  constexpr const char* kFunction = "Utils::SetServiceRestartRecoveryOnFailure";
  TraceScope trace(kFunction, L"Service Name = %s", serviceName);
  SC_HANDLE hSCManager = nullptr;
  SC_HANDLE hService = nullptr;
  int result = GetService(serviceName, &hSCManager, &hService, SC_MANAGER_ALL_ACCESS);
  if (result == 0) {
    SC_ACTION actions[3] = {{SC_ACTION_RESTART, 120000}, {SC_ACTION_RESTART, 240000}, {SC_ACTION_RESTART, 360000}};
    SERVICE_FAILURE_ACTIONS failureActions{};
    failureActions.dwResetPeriod = 3600;
    failureActions.lpRebootMsg = nullptr;
    failureActions.lpCommand = nullptr;
    failureActions.cActions = 3;
    failureActions.lpsaActions = actions;
    if (!ChangeServiceConfig2(hService, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions)) {
      GetLogger()->Log(LogLevel::Error, kFunction,
                       L"ChangeServiceConfig2 (SERVICE_CONFIG_FAILURE_ACTIONS) failed w/err 0x%08lx\n", GetLastError());
      result |= 0x01;
    }
    // A service that stops itself with an error is restarted as well, not only one
    // that crashed.
    SERVICE_FAILURE_ACTIONS_FLAG flag{TRUE};
    if (!ChangeServiceConfig2(hService, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag)) {
      GetLogger()->Log(LogLevel::Error, kFunction,
                       L"ChangeServiceConfig2 (SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) failed w/err 0x%08lx\n",
                       GetLastError());
      result |= 0x10;
    }
  }
  if (hService != nullptr) CloseServiceHandle(hService);
  if (hSCManager != nullptr) CloseServiceHandle(hSCManager);
  trace.Out(L"Return Value = %d", result);
  return result;
}

}  // namespace Utils
