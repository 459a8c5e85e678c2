// A small object the hotkey handler owns while a user session is served. Its one
// effect is on destruction: the thread that tears it down stops impersonating and runs
// under the service's own identity again.
#pragma once

namespace RpcServer::AppSection {

class CAppActivationHandler {
 public:
  CAppActivationHandler();
  ~CAppActivationHandler();  // never throws
  CAppActivationHandler(const CAppActivationHandler&) = delete;
  CAppActivationHandler& operator=(const CAppActivationHandler&) = delete;

  // Reverts the calling thread to the process's own security context.
  void RemoveImpersonation();

 private:
  bool m_bImpersonated = false;
};

}  // namespace RpcServer::AppSection
