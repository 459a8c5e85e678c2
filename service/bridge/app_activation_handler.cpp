#include "service/bridge/app_activation_handler.h"

#include "platform/sessions.h"
#include "service/logging/korvo_log.h"

namespace RpcServer::AppSection {

using Korvo::Shared::TraceScope;

CAppActivationHandler::CAppActivationHandler() {
  TraceScope trace("RpcServer::AppSection::CAppActivationHandler::CAppActivationHandler");
  m_bImpersonated = false;
}

CAppActivationHandler::~CAppActivationHandler() {
  try {
    TraceScope trace("RpcServer::AppSection::CAppActivationHandler::~CAppActivationHandler");
    RemoveImpersonation();
  } catch (...) {
    // A destructor must not throw; a failed log line is all that can go wrong here.
  }
}

void CAppActivationHandler::RemoveImpersonation() {
  TraceScope trace("RpcServer::AppSection::CAppActivationHandler::RemoveImpersonation");
  // The result does not matter: a thread that does not impersonate stays as it is.
  (void)platform::RevertToSelf();
  m_bImpersonated = false;
}

}  // namespace RpcServer::AppSection
