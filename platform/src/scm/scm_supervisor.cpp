// The per-service supervisor process.
//
// StartService re-executes the calling program (/proc/self/exe) with
// KORVO_SCM_SUPERVISE set, the handshake socket on descriptor 3 and the service's run
// lock on descriptor 4. The start-up hook below sees the variable before main() runs,
// detaches (a second fork, so the caller has no child to reap and the supervisor
// outlives it; a new session, so a terminal's Ctrl-C does not reach it) and becomes
// the supervisor; the program's own main() never runs. It reads the launch request,
// launches the service and answers the handshake once the process runs, then:
//
// - records every status (the service's reports over the channel plus its own
//   START_PENDING at launch and STOPPED at the end) in <name>.status and <name>.events;
// - serves <name>.sock: {"op":"control",...} -> {"error","result","status"} and
//   {"op":"watch","from":"launch"|"now"} -> a stream of {"sequence","status"};
// - when the process ends without having reported SERVICE_STOPPED (or, with the
//   failure-actions flag, after a stop with a non-zero exit code) counts a failure and
//   applies the configured action; RESTART relaunches after the delay;
// - ends when the service is stopped and no restart is pending, removing a service
//   that was marked for delete.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/eventlog.h"
#include "platform/machine.h"
#include "platform/scm_testing.h"
#include "platform/src/host/fd.h"
#include "platform/src/scm/scm_internal.h"
#include "platform/text.h"

extern char** environ;

namespace platform::scm::detail {
namespace {

using scm_testing::ServiceChannelEnd;

constexpr const char* kSuperviseVariable = "KORVO_SCM_SUPERVISE";
constexpr int kHandshakeFd = 3;
constexpr int kRunLockFd = 4;
// Real-time bounds of the handshake with the caller.
constexpr int kHandshakeTimeoutMs = 30000;
// A connection that does not say what it wants within this time is dropped.
constexpr int kRequestTimeoutMs = 5000;
// How long a process that reported SERVICE_STOPPED may take to exit.
constexpr auto kExitGrace = std::chrono::seconds(30);
// How long the reports of a process that ended may take to drain from the channel.
constexpr DWORD kDrainMs = 2000;

constexpr DWORD kEventServiceCrashedWithAction = 7031;
constexpr DWORD kEventServiceCrashed = 7034;

// The environment of a child: ours without the variables of `drop`, plus `add`.
std::vector<std::string> ChildEnvironment(std::initializer_list<const char*> drop, std::vector<std::string> add) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const bool dropped = std::any_of(drop.begin(), drop.end(), [&](const char* name) {
      const std::size_t n = std::strlen(name);
      return entry.size() > n && entry.compare(0, n, name) == 0 && entry[n] == '=';
    });
    if (!dropped) env.emplace_back(entry);
  }
  for (auto& a : add) env.push_back(std::move(a));
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

DWORD ExecError(int err) {
  switch (err) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOEXEC:
      return kErrorBadExeFormat;
    default:
      return Win32ErrorFromErrno(err);
  }
}

std::string Describe(int waitStatus) {
  if (WIFEXITED(waitStatus)) return "exited with code " + std::to_string(WEXITSTATUS(waitStatus));
  if (WIFSIGNALED(waitStatus)) return std::string("was killed by signal ") + std::to_string(WTERMSIG(waitStatus));
  return "ended";
}

nlohmann::json RequestToJson(const LaunchRequest& r) {
  nlohmann::json startArgs = nlohmann::json::array();
  for (const auto& a : r.startArgs) startArgs.push_back(WideToUtf8(a));
  return {{"root", r.root.string()}, {"name", WideToUtf8(r.serviceName)},
          {"program", r.program},    {"argv", r.argv},
          {"startArgs", startArgs},  {"type", r.serviceType}};
}

LaunchRequest RequestFromJson(const nlohmann::json& j) {
  LaunchRequest r;
  r.root = j.value("root", "");
  r.serviceName = Utf8ToWide(j.value("name", ""));
  r.program = j.value("program", "");
  r.argv = j.value("argv", std::vector<std::string>{});
  for (const auto& a : j.value("startArgs", std::vector<std::string>{})) r.startArgs.push_back(Utf8ToWide(a));
  r.serviceType = j.value("type", SERVICE_WIN32_OWN_PROCESS);
  return r;
}

class Supervisor {
 public:
  Supervisor(LaunchRequest request, int handshakeFd, int runLockFd)
      : request_(std::move(request)),
        files_(FilesFor(request_.root, request_.serviceName)),
        handshakeFd_(handshakeFd),
        runLockFd_(runLockFd) {}

  int Run();

 private:
  struct Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void Reply(DWORD error, const std::string& detail, DWORD processId);
  void Log(const std::string& line);
  DWORD Launch(pid_t* pid, int* channelFd, std::string* detail);
  enum class Outcome { kStopped, kStoppedWithError, kCrashed, kNeverConnected };
  // Runs one process of the service to its end.
  Outcome RunProcess(pid_t pid, int channelFd);
  // Counts a failure and returns the action to take.
  SC_ACTION ApplyFailure(const ServiceRecord& service);
  void Record(SERVICE_STATUS_PROCESS status);
  void SaveStatusLocked();
  void Accept();
  void Serve(Connection* connection);
  void ServeControl(int fd, const nlohmann::json& request);
  void ServeWatch(int fd, const nlohmann::json& request);
  void ReapConnections(bool all);
  std::optional<ServiceRecord> LookUpService();
  void Finish();

  const LaunchRequest request_;
  const ServiceFiles files_;
  int handshakeFd_;
  int runLockFd_;
  int listenFd_ = -1;
  int eventsFd_ = -1;
  DWORD connectTimeoutMs_ = kConnectTimeoutMs;

  std::mutex lock_;
  std::condition_variable cv_;
  StatusRecord record_;
  std::vector<std::pair<std::uint64_t, SERVICE_STATUS_PROCESS>> history_;
  std::shared_ptr<ServiceChannelEnd> channel_;  // while a process runs
  DWORD processId_ = 0;
  bool connected_ = false;
  bool exited_ = false;
  bool ending_ = false;
  std::chrono::steady_clock::time_point stoppedAt_;

  std::thread acceptor_;
  std::list<Connection> connections_;  // guarded by lock_
};

void Supervisor::Reply(DWORD error, const std::string& detail, DWORD processId) {
  if (handshakeFd_ < 0) return;
  SendFrame(handshakeFd_, {{"error", error}, {"detail", detail}, {"processId", processId}});
  ::close(handshakeFd_);
  handshakeFd_ = -1;
}

void Supervisor::Log(const std::string& line) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char stamp[64];
  std::snprintf(stamp, sizeof(stamp), "[scm %04u-%02u-%02u %02u:%02u:%02u.%03u] ", t.wYear, t.wMonth, t.wDay, t.wHour,
                t.wMinute, t.wSecond, t.wMilliseconds);
  const std::string text = stamp + WideToUtf8(request_.serviceName) + ": " + line + "\n";
  (void)!::write(STDERR_FILENO, text.data(), text.size());
}

DWORD Supervisor::Launch(pid_t* pid, int* channelFd, std::string* detail) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    *detail = std::string("cannot make the channel: ") + std::strerror(errno);
    return Win32ErrorFromErrno(errno);
  }
  int errPipe[2];
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    const int err = errno;
    ::close(sv[0]);
    ::close(sv[1]);
    *detail = std::string("cannot make a pipe: ") + std::strerror(err);
    return Win32ErrorFromErrno(err);
  }
  const int out = ::open(files_.out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

  // Everything the child uses is made now: after fork() it only makes system calls.
  std::string program = request_.program;
  std::vector<std::string> argvStrings = request_.argv;
  if (argvStrings.empty()) argvStrings.push_back(program);
  std::vector<char*> argv = Pointers(argvStrings);
  std::vector<std::string> envStrings =
      ChildEnvironment({kSuperviseVariable, "KORVO_SCM_CHANNEL", "KORVO_MACHINE_ROOT"},
                       {"KORVO_SCM_CHANNEL=3", "KORVO_MACHINE_ROOT=" + request_.root.string()});
  std::vector<char*> envp = Pointers(envStrings);

  const pid_t child = ::fork();
  if (child == 0) {
    // Out of the way of the numbers they go to, then into place (dup2 clears close-on-exec).
    const int channel = ::fcntl(sv[1], F_DUPFD, 10);
    const int output = out >= 0 ? ::fcntl(out, F_DUPFD, 10) : -1;
    const int input = devNull >= 0 ? ::fcntl(devNull, F_DUPFD, 10) : -1;
    const int report = ::fcntl(errPipe[1], F_DUPFD_CLOEXEC, 10);
    if (input >= 0) ::dup2(input, STDIN_FILENO);
    if (output >= 0) {
      ::dup2(output, STDOUT_FILENO);
      ::dup2(output, STDERR_FILENO);
    }
    ::dup2(channel, 3);
    if (report > 4) ::close_range(4, static_cast<unsigned>(report - 1), 0);
    ::close_range(static_cast<unsigned>(report + 1), ~0U, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(program.c_str(), argv.data(), envp.data());
    const int err = errno;
    (void)!::write(report, &err, sizeof(err));
    ::_exit(127);
  }
  const int forkError = errno;
  ::close(sv[1]);
  ::close(errPipe[1]);
  if (out >= 0) ::close(out);
  if (devNull >= 0) ::close(devNull);
  if (child < 0) {
    ::close(sv[0]);
    ::close(errPipe[0]);
    *detail = std::string("cannot create a process: ") + std::strerror(forkError);
    return Win32ErrorFromErrno(forkError);
  }
  int execErr = 0;
  const ssize_t n = host::RetryOnEintr([&] { return ::read(errPipe[0], &execErr, sizeof(execErr)); });
  ::close(errPipe[0]);
  if (n == static_cast<ssize_t>(sizeof(execErr))) {
    int status;
    host::RetryOnEintr([&] { return ::waitpid(child, &status, 0); });
    ::close(sv[0]);
    *detail = "cannot run " + program + ": " + std::strerror(execErr);
    return ExecError(execErr);
  }
  *pid = child;
  *channelFd = sv[0];
  return NO_ERROR;
}

void Supervisor::SaveStatusLocked() {
  WriteFileAtomically(files_.status, RecordToJson(record_).dump() + "\n");
}

void Supervisor::Record(SERVICE_STATUS_PROCESS status) {
  std::lock_guard guard(lock_);
  record_.status = status;
  record_.sequence++;
  history_.emplace_back(record_.sequence, status);
  if (status.dwCurrentState == SERVICE_STOPPED) stoppedAt_ = std::chrono::steady_clock::now();
  SaveStatusLocked();
  if (eventsFd_ >= 0) {
    const std::string line =
        nlohmann::json{{"sequence", record_.sequence}, {"status", StatusToJson(status)}}.dump() + "\n";
    (void)!::write(eventsFd_, line.data(), line.size());
  }
  cv_.notify_all();
}

std::optional<ServiceRecord> Supervisor::LookUpService() {
  std::optional<ServiceRecord> found;
  const DWORD error = Database::Guard([&] {
    found = Database(request_.root, nlohmann::json::object()).Find(request_.serviceName);
    return NO_ERROR;
  });
  if (error != NO_ERROR) Log("cannot read the service database: " + GetServiceControlErrorDetail());
  return found;
}

Supervisor::Outcome Supervisor::RunProcess(pid_t pid, int channelFd) {
  ServiceChannelEnd::Events events;
  events.onConnected = [this](DWORD) {
    std::lock_guard guard(lock_);
    connected_ = true;
    cv_.notify_all();
  };
  events.onStatus = [this](const SERVICE_STATUS& s) {
    DWORD processId;
    {
      std::lock_guard guard(lock_);
      processId = processId_;
    }
    Record(SERVICE_STATUS_PROCESS{s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
                                  s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint,
                                  s.dwCurrentState == SERVICE_STOPPED ? 0 : processId, 0});
  };
  auto channel = std::make_shared<ServiceChannelEnd>(channelFd, std::move(events));
  {
    std::lock_guard guard(lock_);
    channel_ = channel;
  }
  channel->SendStart(request_.serviceName, request_.startArgs);

  int waitStatus = 0;
  std::thread waiter([&] {
    int status = 0;
    host::RetryOnEintr([&] { return ::waitpid(pid, &status, 0); });
    std::lock_guard guard(lock_);
    waitStatus = status;
    exited_ = true;
    cv_.notify_all();
  });

  bool timedOut = false;
  {
    std::unique_lock guard(lock_);
    if (!cv_.wait_for(guard, std::chrono::milliseconds(connectTimeoutMs_), [&] { return connected_ || exited_; })) {
      Log("the program did not connect to the service controller in time; ending it");
      ::kill(pid, SIGKILL);
      timedOut = true;
    }
    while (!cv_.wait_for(guard, std::chrono::seconds(1), [&] { return exited_; })) {
      if (record_.status.dwCurrentState == SERVICE_STOPPED &&
          std::chrono::steady_clock::now() - stoppedAt_ > kExitGrace) {
        Log("the process reported SERVICE_STOPPED but does not exit; ending it");
        ::kill(pid, SIGKILL);
      }
    }
  }
  waiter.join();
  channel->WaitClosed(kDrainMs);
  {
    std::lock_guard guard(lock_);
    channel_.reset();
  }
  channel.reset();  // the last control in flight, if any, keeps it until it is answered

  SERVICE_STATUS_PROCESS last;
  {
    std::lock_guard guard(lock_);
    last = record_.status;
    processId_ = 0;
  }
  Log("process " + std::to_string(pid) + " " + Describe(waitStatus));
  if (timedOut) {
    Record(
        SERVICE_STATUS_PROCESS{request_.serviceType, SERVICE_STOPPED, 0, ERROR_SERVICE_REQUEST_TIMEOUT, 0, 0, 0, 0, 0});
    return Outcome::kNeverConnected;
  }
  if (last.dwCurrentState != SERVICE_STOPPED) {
    Record(SERVICE_STATUS_PROCESS{last.dwServiceType != 0 ? last.dwServiceType : request_.serviceType, SERVICE_STOPPED,
                                  0, ERROR_PROCESS_ABORTED, 0, 0, 0, 0, 0});
    return Outcome::kCrashed;
  }
  return last.dwWin32ExitCode != NO_ERROR ? Outcome::kStoppedWithError : Outcome::kStopped;
}

SC_ACTION Supervisor::ApplyFailure(const ServiceRecord& service) {
  const std::uint64_t now = CurrentMachine().GetClock().SystemTime100ns();
  const DWORD reset = service.failureActions.resetPeriod;
  SC_ACTION action{SC_ACTION_NONE, 0};
  DWORD count;
  {
    std::lock_guard guard(lock_);
    const bool expired = reset != INFINITE && now - record_.firstFailure100ns >= std::uint64_t{reset} * 10'000'000;
    if (record_.failureCount == 0 || expired) {
      record_.failureCount = 0;
      record_.firstFailure100ns = now;
    }
    count = ++record_.failureCount;
    const auto& actions = service.failureActions.actions;
    if (!actions.empty()) action = actions[std::min<std::size_t>(count, actions.size()) - 1];
    record_.restartPending = action.Type == SC_ACTION_RESTART;
    SaveStatusLocked();
  }

  std::wstring actionText;
  switch (action.Type) {
    case SC_ACTION_RESTART:
      actionText = L"Restart the service";
      break;
    case SC_ACTION_REBOOT:
      actionText = L"Restart the computer (not done on this machine)";
      break;
    case SC_ACTION_RUN_COMMAND:
      actionText = L"Run the configured recovery program (not done on this machine)";
      break;
    default:
      break;
  }
  const std::wstring countText = std::to_wstring(count);
  const std::wstring delayText = std::to_wstring(action.Delay);
  if (HANDLE source = RegisterEventSource(nullptr, L"Service Control Manager")) {
    if (action.Type == SC_ACTION_NONE) {
      LPCWSTR strings[] = {service.displayName.c_str(), countText.c_str()};
      ReportEvent(source, EVENTLOG_ERROR_TYPE, 0, kEventServiceCrashed, nullptr, 2, 0, strings, nullptr);
    } else {
      const std::wstring index = std::to_wstring(std::min<std::size_t>(count, service.failureActions.actions.size()));
      LPCWSTR strings[] = {service.displayName.c_str(), countText.c_str(), delayText.c_str(), index.c_str(),
                           actionText.c_str()};
      ReportEvent(source, EVENTLOG_ERROR_TYPE, 0, kEventServiceCrashedWithAction, nullptr, 5, 0, strings, nullptr);
    }
    DeregisterEventSource(source);
  }
  Log("failure " + std::to_string(count) +
      (action.Type == SC_ACTION_RESTART ? "; restarting in " + std::to_string(action.Delay) + " ms" : "; no restart"));
  return action;
}

void Supervisor::Accept() {
  for (;;) {
    const int fd = host::RetryOnEintr([&] { return ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC); });
    if (fd < 0) {
      if (errno == ECONNABORTED) continue;
      return;  // shut down by Finish()
    }
    ReapConnections(false);
    std::lock_guard guard(lock_);
    if (ending_) {
      ::close(fd);
      continue;
    }
    Connection& c = connections_.emplace_back();
    c.fd = fd;
    c.thread = std::thread([this, &c] { Serve(&c); });
  }
}

void Supervisor::ReapConnections(bool all) {
  std::list<Connection> finished;
  {
    std::lock_guard guard(lock_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      auto next = std::next(it);
      if (all || it->done) finished.splice(finished.end(), connections_, it);
      it = next;
    }
  }
  for (auto& c : finished) {
    if (c.thread.joinable()) c.thread.join();
    ::close(c.fd);
  }
}

void Supervisor::Serve(Connection* connection) {
  nlohmann::json request;
  if (ReadFrame(connection->fd, &request, kRequestTimeoutMs) == ReadStatus::kOk) {
    const std::string op = request.value("op", "");
    if (op == "control") {
      ServeControl(connection->fd, request);
    } else if (op == "watch") {
      ServeWatch(connection->fd, request);
    } else {
      SendFrame(connection->fd, {{"error", ERROR_INVALID_PARAMETER}});
    }
  }
  std::lock_guard guard(lock_);
  connection->done = true;
  cv_.notify_all();
}

void Supervisor::ServeControl(int fd, const nlohmann::json& request) {
  const DWORD control = request.value("control", DWORD{0});
  const DWORD eventType = request.value("eventType", DWORD{0});
  const DWORD sessionId = request.value("sessionId", DWORD{0});
  std::shared_ptr<ServiceChannelEnd> channel;
  SERVICE_STATUS current;
  {
    std::lock_guard guard(lock_);
    channel = channel_;
    const auto& s = record_.status;
    current = SERVICE_STATUS{
        s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode, s.dwServiceSpecificExitCode,
        s.dwCheckPoint,  s.dwWaitHint};
  }
  DWORD error = scm_testing::ControlRefusal(current, control);
  DWORD result = NO_ERROR;
  if (error == NO_ERROR && !channel) error = ERROR_SERVICE_NOT_ACTIVE;
  if (error == NO_ERROR) {
    error = channel->Control(control, eventType, sessionId, kControlTimeoutMs, &result);
    if (error == ERROR_BROKEN_PIPE) error = ERROR_SERVICE_NOT_ACTIVE;  // the process ended meanwhile
  }
  channel.reset();
  nlohmann::json status;
  {
    std::lock_guard guard(lock_);
    status = StatusToJson(record_.status);
  }
  SendFrame(fd, {{"error", error}, {"result", result}, {"status", status}});
}

void Supervisor::ServeWatch(int fd, const nlohmann::json& request) {
  std::size_t next;
  {
    std::lock_guard guard(lock_);
    next = request.value("from", "now") == "launch" || history_.empty() ? 0 : history_.size() - 1;
  }
  for (;;) {
    std::vector<std::pair<std::uint64_t, SERVICE_STATUS_PROCESS>> batch;
    bool end;
    {
      std::unique_lock guard(lock_);
      cv_.wait(guard, [&] { return history_.size() > next || ending_; });
      batch.assign(history_.begin() + static_cast<std::ptrdiff_t>(next), history_.end());
      next = history_.size();
      end = ending_;
    }
    for (const auto& [sequence, status] : batch) {
      if (!SendFrame(fd, {{"sequence", sequence}, {"status", StatusToJson(status)}})) return;
    }
    if (end) return;  // everything was recorded before ending_ was set
  }
}

void Supervisor::Finish() {
  ::unlink(files_.socket.c_str());
  // The run lock goes while the database is locked, so that a DeleteService that saw
  // this supervisor alive has already marked the service when we look.
  Database::Guard([&] {
    return Database(request_.root, nlohmann::json::object())
        .Update(
            [&](std::vector<ServiceRecord>& services) {
              ServiceRecord* s = FindIn(services, request_.serviceName);
              if (s == nullptr || !s->deletePending) return kUnchanged;
              services.erase(services.begin() + (s - services.data()));
              Log("removed: it was marked for delete");
              return NO_ERROR;
            },
            [&] {
              ::close(runLockFd_);
              runLockFd_ = -1;
            });
  });
  if (runLockFd_ >= 0) ::close(runLockFd_);
  runLockFd_ = -1;
  {
    std::lock_guard guard(lock_);
    ending_ = true;
    cv_.notify_all();
  }
  ::shutdown(listenFd_, SHUT_RDWR);
  acceptor_.join();
  ::close(listenFd_);
  // Watchers send what is left and go; whoever has not asked for anything is cut off.
  {
    std::unique_lock guard(lock_);
    cv_.wait_for(guard, std::chrono::seconds(1), [&] {
      return std::all_of(connections_.begin(), connections_.end(), [](const Connection& c) { return c.done.load(); });
    });
    for (auto& c : connections_) {
      if (!c.done) ::shutdown(c.fd, SHUT_RDWR);
    }
  }
  ReapConnections(true);
  if (eventsFd_ >= 0) ::close(eventsFd_);
}

int Supervisor::Run() {
  if (const char* v = std::getenv("KORVO_SCM_CONNECT_TIMEOUT_MS"); v != nullptr && *v != '\0') {
    connectTimeoutMs_ = static_cast<DWORD>(std::strtoul(v, nullptr, 10));
  }
  try {
    Machine::Options options;
    options.root = request_.root;
    SelectMachine(Machine::Open(std::move(options)));
  } catch (const std::exception& e) {
    Reply(ERROR_SERVICE_REQUEST_TIMEOUT, std::string("the supervisor cannot open the machine: ") + e.what(), 0);
    return 1;
  }
  std::error_code ec;
  std::filesystem::create_directories(files_.dir, ec);
  if (const int out = ::open(files_.out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644); out >= 0) {
    ::dup2(out, STDERR_FILENO);
    ::close(out);
  }
  if (auto previous = ReadStatusFile(files_.status)) {
    record_.failureCount = previous->failureCount;
    record_.firstFailure100ns = previous->firstFailure100ns;
  }
  record_.status.dwServiceType = request_.serviceType;
  record_.status.dwCurrentState = SERVICE_STOPPED;
  eventsFd_ = ::open(files_.events.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  listenFd_ = ListenUnixSocket(files_.socket);
  if (listenFd_ < 0) {
    const int err = errno;
    Reply(ERROR_SERVICE_REQUEST_TIMEOUT,
          "the supervisor cannot listen on " + files_.socket.string() + ": " + std::strerror(err), 0);
    return 1;
  }
  acceptor_ = std::thread([this] { Accept(); });

  for (bool first = true;; first = false) {
    pid_t pid = 0;
    int channelFd = -1;
    std::string detail;
    const DWORD error = Launch(&pid, &channelFd, &detail);
    if (error != NO_ERROR) {
      Log(detail);
      Record(SERVICE_STATUS_PROCESS{request_.serviceType, SERVICE_STOPPED, 0, error, 0, 0, 0, 0, 0});
      Reply(error, detail, 0);
      break;
    }
    {
      std::lock_guard guard(lock_);
      processId_ = static_cast<DWORD>(pid);
      connected_ = false;
      exited_ = false;
    }
    Log("launched " + request_.program + " as process " + std::to_string(pid));
    Record(SERVICE_STATUS_PROCESS{request_.serviceType, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, kLaunchWaitHintMs,
                                  static_cast<DWORD>(pid), 0});
    if (first) Reply(NO_ERROR, "", static_cast<DWORD>(pid));

    const Outcome outcome = RunProcess(pid, channelFd);
    auto service = LookUpService();
    if (!service || service->deletePending) break;
    const bool failure = outcome == Outcome::kCrashed ||
                         (outcome == Outcome::kStoppedWithError && service->failureActionsOnNonCrashFailures);
    if (!failure) break;
    const SC_ACTION action = ApplyFailure(*service);
    if (action.Type != SC_ACTION_RESTART) break;
    Sleep(action.Delay);
    service = LookUpService();
    {
      std::lock_guard guard(lock_);
      record_.restartPending = false;
      SaveStatusLocked();
    }
    if (!service || service->deletePending || service->startType == SERVICE_DISABLED) break;
  }
  Finish();
  return 0;
}

}  // namespace

DWORD SpawnSupervisor(const LaunchRequest& request, int runLockFd, DWORD* processId) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    SetErrorDetail(std::string("cannot make the supervisor's socket: ") + std::strerror(errno));
    return Win32ErrorFromErrno(errno);
  }
  char self[PATH_MAX];
  const ssize_t selfLength = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
  std::vector<std::string> argvStrings = {
      selfLength > 0 ? std::string(self, static_cast<std::size_t>(selfLength)) : std::string("korvo-scm-supervisor"),
      "--korvo-scm-supervisor", WideToUtf8(request.serviceName)};
  std::vector<char*> argv = Pointers(argvStrings);
  std::vector<std::string> envStrings =
      ChildEnvironment({kSuperviseVariable}, {std::string(kSuperviseVariable) + "=1"});
  std::vector<char*> envp = Pointers(envStrings);
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);

  const pid_t child = ::fork();
  if (child == 0) {
    const int handshake = ::fcntl(sv[1], F_DUPFD, 10);
    const int runLock = ::fcntl(runLockFd, F_DUPFD, 10);
    const int null = devNull >= 0 ? ::fcntl(devNull, F_DUPFD, 10) : -1;
    if (null >= 0) {
      ::dup2(null, STDIN_FILENO);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
    }
    ::dup2(handshake, kHandshakeFd);
    ::dup2(runLock, kRunLockFd);
    ::close_range(kRunLockFd + 1, ~0U, 0);
    ::execve("/proc/self/exe", argv.data(), envp.data());
    ::_exit(127);
  }
  const int forkError = errno;
  ::close(sv[1]);
  if (devNull >= 0) ::close(devNull);
  if (child < 0) {
    ::close(sv[0]);
    SetErrorDetail(std::string("cannot start the supervisor: ") + std::strerror(forkError));
    return Win32ErrorFromErrno(forkError);
  }
  // The first process only forks the supervisor and ends.
  int status = 0;
  host::RetryOnEintr([&] { return ::waitpid(child, &status, 0); });
  DWORD error = ERROR_SERVICE_REQUEST_TIMEOUT;
  nlohmann::json reply;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    SetErrorDetail("the supervisor could not be started (" + Describe(status) + ")");
  } else if (!SendFrame(sv[0], RequestToJson(request)) ||
             ReadFrame(sv[0], &reply, kHandshakeTimeoutMs) != ReadStatus::kOk) {
    SetErrorDetail("the supervisor did not answer");
  } else {
    error = reply.value("error", ERROR_SERVICE_REQUEST_TIMEOUT);
    if (processId != nullptr) *processId = reply.value("processId", DWORD{0});
    SetErrorDetail(reply.value("detail", ""));
  }
  ::close(sv[0]);
  return error;
}

namespace {

// The start-up hook: a program that links StartService becomes the supervisor when it
// was started as one (see the top of this file).
__attribute__((constructor)) void SuperviseWhenAsked() {
  if (std::getenv(kSuperviseVariable) == nullptr) return;
  ::unsetenv(kSuperviseVariable);  // still single-threaded here
  const pid_t pid = ::fork();
  if (pid != 0) ::_exit(pid < 0 ? 1 : 0);
  ::setsid();
  ::fcntl(kHandshakeFd, F_SETFD, FD_CLOEXEC);
  ::fcntl(kRunLockFd, F_SETFD, FD_CLOEXEC);
  int code = 1;
  nlohmann::json request;
  if (ReadFrame(kHandshakeFd, &request, kHandshakeTimeoutMs) == ReadStatus::kOk) {
    Supervisor supervisor(RequestFromJson(request), kHandshakeFd, kRunLockFd);
    code = supervisor.Run();
  }
  // No static destructors: the program's other parts never started.
  ::_exit(code);
}

}  // namespace
}  // namespace platform::scm::detail
