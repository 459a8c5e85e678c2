// Creation of the two firmware command components: the legacy VantorCommand and the
// modern MeridSdkVantorCommand (only creatable inside an activation context that names
// its side-by-side assembly).
#pragma once

#include "platform/com.h"
#include "platform/firmware.h"

namespace RpcServer::SysInfo {

// CoCreateInstance of the class (any context, IUnknown), OleRun, then QueryInterface for
// the command interface; the IUnknown is released either way. `command` is null on
// failure, and the result is the first failing call's.
template <class Interface>
platform::HRESULT CreateFirmwareCommand(platform::REFCLSID clsid, platform::ComPtr<Interface>& command) {
  using namespace platform;
  command.Reset();
  ComPtr<IUnknown> unknown;
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<LPVOID*>(&unknown));
  if (FAILED(hr)) return hr;
  hr = OleRun(unknown.Get());
  if (FAILED(hr)) return hr;
  return unknown.As(command);
}

inline platform::HRESULT CreateVantorCommand(platform::ComPtr<platform::IVantorCommand>& command) {
  return CreateFirmwareCommand(platform::CLSID_VantorCommand, command);
}

inline platform::HRESULT CreateMeridSdkVantorCommand(platform::ComPtr<platform::IMeridSdkVantorCommand>& command) {
  return CreateFirmwareCommand(platform::CLSID_MeridSdkVantorCommand, command);
}

// The legacy component's two calls as its callers make them: a failed Get or Set is
// raised as a COM error exception carrying the component's code.
inline platform::HRESULT VantorGet(platform::IVantorCommand* command, const wchar_t* name, platform::VARIANT* result) {
  const platform::HRESULT hr = command->Get(platform::BStr(name), result);
  if (platform::FAILED(hr)) platform::_com_issue_error(hr);
  return hr;
}

inline platform::HRESULT VantorSet(platform::IVantorCommand* command, const wchar_t* name,
                                   const platform::VARIANT& value) {
  const platform::HRESULT hr = command->Set(platform::BStr(name), value);
  if (platform::FAILED(hr)) platform::_com_issue_error(hr);
  return hr;
}

}  // namespace RpcServer::SysInfo
