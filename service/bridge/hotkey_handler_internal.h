// Pieces shared by the hotkey handler's sources: the logging shorthand.
#pragma once

#include "service/logging/korvo_log.h"

namespace RpcServer::SysInfo::detail {

using Korvo::Shared::Log;
using Korvo::Shared::LogLevel;
using Korvo::Shared::TraceScope;

}  // namespace RpcServer::SysInfo::detail
