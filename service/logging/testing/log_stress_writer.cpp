// Writes numbered lines through the process logger, as one of several processes that
// share a log file.
//
//   log_stress_writer <root> <writer-id> <count>     write <count> lines, then exit
//   log_stress_writer <root> <writer-id> hold        take the log file's mutex, print
//                                                    "holding", and wait to be killed
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "platform/machine.h"
#include "platform/sync.h"
#include "service/logging/korvo_log.h"
#include "service/logging/korvo_log_listeners.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: log_stress_writer ROOT WRITER-ID (COUNT | hold)\n");
    return 2;
  }
  platform::Machine::Options options;
  options.root = argv[1];
  options.programPath = L"C:\\Program Files (x86)\\Korvo\\Varnel\\Varnel.exe";
  platform::SelectMachine(platform::Machine::Open(std::move(options)));
  const int writer = std::atoi(argv[2]);

  using namespace Korvo::Shared;
  CKorvoLogger* logger = GetLogger();
  if (std::string(argv[3]) == "hold") {
    auto* file = static_cast<CKorvoLogListenerFile*>(logger->fileListener);
    platform::HANDLE mutex = platform::CreateMutex(nullptr, platform::FALSE, file->MutexName().c_str());
    platform::WaitForSingleObject(mutex, platform::INFINITE);
    std::printf("holding\n");
    std::fflush(stdout);
    for (;;) ::pause();
  }
  const int count = std::atoi(argv[3]);
  {
    TraceScope trace("Stress::Main", L"writer %d", writer);
    for (int n = 0; n < count; ++n) {
      logger->Log(LogLevel::Information, "Stress::Writer", L"writer %d line %06d", writer, n);
    }
    trace.Out(L"Return Value = %d", count);
  }
  return 0;  // the logger is destroyed at exit and writes what is still queued
}
