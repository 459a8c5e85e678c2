// A second process for the platform layer's cross-process tests. It opens the machine
// at <root> (real clock) and does one job, reporting on stdout line by line:
//
//   hold-mutex <root> <name> <ms>   acquire the named mutex, print "locked", sleep,
//                                   print "exiting" and end WITHOUT releasing it
//   count <root> <name> <file> <n>  n times: acquire, add one to the integer in
//                                   <file> (written "%20ld\n"), release; print "done"
//   probe-mutex <root> <name>       try the mutex without waiting; print the wait
//                                   result in decimal (releasing it when acquired)
//   await-end <root> <signal>       take two handles of the end request, print
//                                   "waiting", send itself the signal, wait for the
//                                   end request, print "asked to end" and what the
//                                   second handle saw
//
// Exit code 0 on success, 2 for bad arguments, 3 when a platform call failed.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "platform/clock.h"
#include "platform/machine.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace {

using namespace platform;

void Say(const char* line) {
  std::fputs(line, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int Fail(const char* what) {
  std::fprintf(stderr, "platform_test_child: %s failed, error %u\n", what, GetLastError());
  return 3;
}

HANDLE OpenNamed(const char* name) {
  return CreateMutex(nullptr, FALSE, Utf8ToWide(name).c_str());
}

int HoldMutex(const char* name, DWORD ms) {
  HANDLE mutex = OpenNamed(name);
  if (mutex == nullptr) return Fail("CreateMutex");
  const DWORD wait = WaitForSingleObject(mutex, INFINITE);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return Fail("WaitForSingleObject");
  Say("locked");
  Sleep(ms);
  Say("exiting");
  ::_exit(0);  // no release, no clean-up: the mutex is left abandoned
}

// The counter is a fixed-width number rewritten in place: truncating and rewriting a
// file makes some file systems flush it on close, which turns a counting loop into a
// disk benchmark. Reading and writing are separate calls, so only the mutex keeps two
// processes from losing an increment.
bool AddOne(const char* file) {
  const int fd = ::open(file, O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  char text[32] = {};
  const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
  const long value = got > 0 ? std::strtol(text, nullptr, 10) : 0;
  const int len = std::snprintf(text, sizeof text, "%20ld\n", value + 1);
  const bool ok = ::pwrite(fd, text, static_cast<std::size_t>(len), 0) == len;
  return ::close(fd) == 0 && ok;
}

int Count(const char* name, const char* file, long n) {
  HANDLE mutex = OpenNamed(name);
  if (mutex == nullptr) return Fail("CreateMutex");
  for (long i = 0; i < n; ++i) {
    const DWORD wait = WaitForSingleObject(mutex, INFINITE);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return Fail("WaitForSingleObject");
    if (!AddOne(file)) return Fail("updating the counter file");
    if (!ReleaseMutex(mutex)) return Fail("ReleaseMutex");
  }
  CloseHandle(mutex);
  Say("done");
  return 0;
}

int Probe(const char* name) {
  HANDLE mutex = OpenNamed(name);
  if (mutex == nullptr) return Fail("CreateMutex");
  const DWORD wait = WaitForSingleObject(mutex, 0);
  std::printf("%u\n", wait);
  std::fflush(stdout);
  if ((wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) && !ReleaseMutex(mutex)) return Fail("ReleaseMutex");
  CloseHandle(mutex);
  return 0;
}

int AwaitEnd(int signal) {
  UniqueHandle first(CreateEndRequestEvent());
  UniqueHandle second(CreateEndRequestEvent());
  if (!first || !second) return Fail("CreateEndRequestEvent");
  if (WaitForSingleObject(second.get(), 0) != WAIT_TIMEOUT) return Fail("an end request before any signal");
  Say("waiting");
  ::kill(::getpid(), signal);
  if (WaitForSingleObject(first.get(), INFINITE) != WAIT_OBJECT_0) return Fail("WaitForSingleObject");
  Say("asked to end");
  Say(WaitForSingleObject(second.get(), 0) == WAIT_OBJECT_0 ? "second handle signalled"
                                                            : "second handle not signalled");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s hold-mutex|count|probe-mutex|await-end <root> <name> ...\n", argv[0]);
    return 2;
  }
  const std::string command = argv[1];
  try {
    platform::Machine::Options options;
    options.root = argv[2];
    platform::SelectMachine(platform::Machine::Open(std::move(options)));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "platform_test_child: %s\n", e.what());
    return 3;
  }
  if (command == "hold-mutex" && argc == 5)
    return HoldMutex(argv[3], static_cast<DWORD>(std::strtoul(argv[4], nullptr, 10)));
  if (command == "count" && argc == 6) return Count(argv[3], argv[4], std::strtol(argv[5], nullptr, 10));
  if (command == "probe-mutex" && argc == 4) return Probe(argv[3]);
  if (command == "await-end" && argc == 4) return AwaitEnd(std::atoi(argv[3]));
  std::fprintf(stderr, "platform_test_child: bad arguments for %s\n", command.c_str());
  return 2;
}
