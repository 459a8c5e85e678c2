// Pieces shared by the hotkey handler's sources: the logging shorthand.
#pragma once

#include "service/logging/korvo_log.h"

namespace RpcServer::SysInfo::detail {

using Korvo::Shared::LogLevel;
using Korvo::Shared::TraceScope;

template <class... Args>
void Log(int level, const char* functionName, const wchar_t* format, const Args&... args) {
  Korvo::Shared::GetLogger()->Log(level, functionName, format, args...);
}

}  // namespace RpcServer::SysInfo::detail
