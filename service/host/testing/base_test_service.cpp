// A service built on CServiceBase for the end-to-end test: installed with
//
//   vesk-sc create NAME binPath= "/path/base_test_service NAME"
//
// it runs under the machine's service controller, and each operation the base class
// calls prints one line (the supervisor keeps them in <root>/scm/NAME.out):
//
//   start ARG|ARG...            OnStart with the service main's arguments
//   power EVENT                 OnPowerEvent with its event type
//   session EVENT SESSION       OnSessionChange with its event type and session id
//   stop | shutdown | preshutdown
#include <cstdio>
#include <string>

#include "platform/text.h"
#include "service/host/service_base.h"

namespace {

using namespace platform;

void Say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

class CBaseTestService : public CServiceBase {
 public:
  explicit CBaseTestService(const wchar_t* name) : CServiceBase(name) {}

 protected:
  void OnStart(DWORD argc, LPWSTR* argv) override {
    std::string line = "start";
    for (DWORD i = 0; i < argc; ++i) {
      line += i == 0 ? ' ' : '|';
      line += WideToUtf8(argv[i]);
    }
    Say(line);
  }
  void OnStop() override { Say("stop"); }
  void OnShutdown() override { Say("shutdown"); }
  void OnPreShutdown() override { Say("preshutdown"); }
  void OnPowerEvent(DWORD eventType, LPVOID) override { Say("power " + std::to_string(eventType)); }
  void OnSessionChange(DWORD eventType, LPVOID eventData) override {
    const DWORD session = eventData != nullptr ? static_cast<WTSSESSION_NOTIFICATION*>(eventData)->dwSessionId : 0;
    Say("session " + std::to_string(eventType) + " " + std::to_string(session));
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::wstring name = Utf8ToWide(argc > 1 ? argv[1] : "BaseTestService");
  CBaseTestService service(name.c_str());
  if (!CServiceBase::Run(service)) {
    std::fprintf(stderr, "base_test_service: the dispatcher failed: %u\n", GetLastError());
    return 2;
  }
  Say("dispatcher returned");
  return 0;
}
