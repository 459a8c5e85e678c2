// The service control manager's plumbing: per-service files, locks, the status record,
// control checks, message framing, Unix sockets and command-line splitting.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "platform/fs.h"
#include "platform/scm_testing.h"
#include "platform/src/host/fd.h"
#include "platform/src/host/files.h"
#include "platform/src/scm/scm_internal.h"
#include "platform/text.h"

namespace platform {
namespace scm::detail {
namespace {

thread_local std::string t_errorDetail;

// Reads exactly `size` bytes before `deadline` (none: no limit). kClosed only when the
// other end closed before the first byte.
ReadStatus ReadExactly(int fd, char* data, std::size_t size,
                       std::optional<std::chrono::steady_clock::time_point> deadline) {
  std::size_t done = 0;
  while (done < size) {
    if (deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
      pollfd p{fd, POLLIN, 0};
      const int ready =
          host::RetryOnEintr([&] { return ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0); });
      if (ready < 0) return ReadStatus::kError;
      if (ready == 0) return ReadStatus::kTimeout;
    }
    const ssize_t n = host::RetryOnEintr([&] { return ::recv(fd, data + done, size - done, 0); });
    if (n < 0) {
      return done == 0 && (errno == ECONNRESET || errno == EPIPE) ? ReadStatus::kClosed : ReadStatus::kError;
    }
    if (n == 0) return done == 0 ? ReadStatus::kClosed : ReadStatus::kError;
    done += static_cast<std::size_t>(n);
  }
  return ReadStatus::kOk;
}

// Fills `addr` for `path`, through /proc/self/fd/<dirFd> when the path is too long for
// sun_path; *dirFd is then an open descriptor the caller closes.
bool SocketAddress(const std::filesystem::path& path, sockaddr_un* addr, int* dirFd) {
  *dirFd = -1;
  std::memset(addr, 0, sizeof(*addr));
  addr->sun_family = AF_UNIX;
  std::string name = path.string();
  if (name.size() >= sizeof(addr->sun_path)) {
    *dirFd = ::open(path.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (*dirFd < 0) return false;
    name = "/proc/self/fd/" + std::to_string(*dirFd) + "/" + path.filename().string();
    if (name.size() >= sizeof(addr->sun_path)) {
      ::close(*dirFd);
      *dirFd = -1;
      errno = ENAMETOOLONG;
      return false;
    }
  }
  std::memcpy(addr->sun_path, name.c_str(), name.size() + 1);
  return true;
}

DWORD Field(const nlohmann::json& j, const char* name) {
  auto it = j.find(name);
  return it != j.end() && it->is_number_integer() && it->get<std::int64_t>() >= 0 ? it->get<DWORD>() : 0;
}

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t';
}

}  // namespace

void SetErrorDetail(std::string detail) {
  t_errorDetail = std::move(detail);
}
void ClearErrorDetail() {
  t_errorDetail.clear();
}

BOOL Fail(DWORD error, std::string detail) {
  t_errorDetail = std::move(detail);
  SetLastError(error);
  return FALSE;
}

ServiceFiles FilesFor(const std::filesystem::path& root, std::wstring_view serviceName) {
  ServiceFiles files;
  files.dir = root / "scm";
  const std::string stem = WideToUtf8(serviceName);
  files.status = files.dir / (stem + ".status");
  files.events = files.dir / (stem + ".events");
  files.socket = files.dir / (stem + ".sock");
  files.lock = files.dir / (stem + ".lock");
  files.out = files.dir / (stem + ".out");
  return files;
}

nlohmann::json StatusToJson(const SERVICE_STATUS_PROCESS& s) {
  return {{"type", s.dwServiceType},
          {"state", s.dwCurrentState},
          {"controls", s.dwControlsAccepted},
          {"exitCode", s.dwWin32ExitCode},
          {"specificExitCode", s.dwServiceSpecificExitCode},
          {"checkPoint", s.dwCheckPoint},
          {"waitHint", s.dwWaitHint},
          {"processId", s.dwProcessId},
          {"flags", s.dwServiceFlags}};
}

SERVICE_STATUS_PROCESS StatusFromJson(const nlohmann::json& j) {
  SERVICE_STATUS_PROCESS s{};
  if (!j.is_object()) return s;
  s.dwServiceType = Field(j, "type");
  s.dwCurrentState = Field(j, "state");
  s.dwControlsAccepted = Field(j, "controls");
  s.dwWin32ExitCode = Field(j, "exitCode");
  s.dwServiceSpecificExitCode = Field(j, "specificExitCode");
  s.dwCheckPoint = Field(j, "checkPoint");
  s.dwWaitHint = Field(j, "waitHint");
  s.dwProcessId = Field(j, "processId");
  s.dwServiceFlags = Field(j, "flags");
  return s;
}

nlohmann::json RecordToJson(const StatusRecord& r) {
  return {{"status", StatusToJson(r.status)},
          {"sequence", r.sequence},
          {"restartPending", r.restartPending},
          {"failureCount", r.failureCount},
          {"firstFailure", r.firstFailure100ns}};
}

StatusRecord RecordFromJson(const nlohmann::json& j) {
  StatusRecord r;
  if (!j.is_object()) return r;
  r.status = StatusFromJson(j.value("status", nlohmann::json::object()));
  r.sequence = j.value("sequence", std::uint64_t{0});
  r.restartPending = j.value("restartPending", false);
  r.failureCount = j.value("failureCount", DWORD{0});
  r.firstFailure100ns = j.value("firstFailure", std::uint64_t{0});
  return r;
}

std::optional<StatusRecord> ReadStatusFile(const std::filesystem::path& path) {
  std::string text;
  try {
    auto file = host::ReadFile(path);
    if (!file) return std::nullopt;
    text = std::move(*file);
  } catch (const std::system_error&) {
    return std::nullopt;
  }
  auto j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded()) return std::nullopt;
  return RecordFromJson(j);
}

bool IsDefinedControl(DWORD control) {
  if (control >= 128 && control <= 255) return true;
  if (control == SERVICE_CONTROL_TRIGGEREVENT) return true;
  // Device events come only with a device broadcast the controller cannot make up.
  return control >= SERVICE_CONTROL_STOP && control <= SERVICE_CONTROL_TIMECHANGE &&
         control != SERVICE_CONTROL_DEVICEEVENT;
}

DWORD AccessNeededFor(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
      return SERVICE_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE:
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
      return SERVICE_PAUSE_CONTINUE;
    case SERVICE_CONTROL_INTERROGATE:
      return SERVICE_INTERROGATE;
    default:
      return SERVICE_USER_DEFINED_CONTROL;
  }
}

DWORD AcceptFlagFor(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return SERVICE_ACCEPT_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return SERVICE_ACCEPT_PAUSE_CONTINUE;
    case SERVICE_CONTROL_SHUTDOWN:
      return SERVICE_ACCEPT_SHUTDOWN;
    case SERVICE_CONTROL_PARAMCHANGE:
      return SERVICE_ACCEPT_PARAMCHANGE;
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
      return SERVICE_ACCEPT_NETBINDCHANGE;
    case SERVICE_CONTROL_HARDWAREPROFILECHANGE:
      return SERVICE_ACCEPT_HARDWAREPROFILECHANGE;
    case SERVICE_CONTROL_POWEREVENT:
      return SERVICE_ACCEPT_POWEREVENT;
    case SERVICE_CONTROL_SESSIONCHANGE:
      return SERVICE_ACCEPT_SESSIONCHANGE;
    case SERVICE_CONTROL_PRESHUTDOWN:
      return SERVICE_ACCEPT_PRESHUTDOWN;
    case SERVICE_CONTROL_TIMECHANGE:
      return SERVICE_ACCEPT_TIMECHANGE;
    case SERVICE_CONTROL_TRIGGEREVENT:
      return SERVICE_ACCEPT_TRIGGEREVENT;
    default:
      return 0;  // interrogate and the service's own controls
  }
}

bool SendFrame(int fd, const nlohmann::json& message) {
  const std::string body = message.dump();
  if (body.size() > kMaxFrameBytes) {
    errno = EMSGSIZE;
    return false;
  }
  const auto size = static_cast<std::uint32_t>(body.size());
  std::string frame;
  frame.reserve(4 + body.size());
  frame.push_back(static_cast<char>(size >> 24));
  frame.push_back(static_cast<char>(size >> 16));
  frame.push_back(static_cast<char>(size >> 8));
  frame.push_back(static_cast<char>(size));
  frame += body;
  return host::SendAll(fd, frame.data(), frame.size());
}

ReadStatus ReadFrame(int fd, nlohmann::json* message, int timeoutMs) {
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (timeoutMs >= 0) deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  unsigned char header[4];
  ReadStatus status = ReadExactly(fd, reinterpret_cast<char*>(header), sizeof(header), deadline);
  if (status != ReadStatus::kOk) return status;
  const std::uint32_t size = (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) |
                             (std::uint32_t{header[2]} << 8) | std::uint32_t{header[3]};
  if (size > kMaxFrameBytes) return ReadStatus::kError;
  std::string body(size, '\0');
  status = ReadExactly(fd, body.data(), size, deadline);
  if (status == ReadStatus::kClosed) return ReadStatus::kError;  // cut off inside a frame
  if (status != ReadStatus::kOk) return status;
  *message = nlohmann::json::parse(body, nullptr, false);
  return message->is_discarded() || !message->is_object() ? ReadStatus::kError : ReadStatus::kOk;
}

int ConnectUnixSocket(const std::filesystem::path& path) {
  sockaddr_un addr;
  int dirFd = -1;
  if (!SocketAddress(path, &addr, &dirFd)) return -1;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int result = fd;
  if (fd >= 0) {
    const int rc =
        host::RetryOnEintr([&] { return ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)); });
    if (rc != 0) {
      const int err = errno;
      ::close(fd);
      errno = err;
      result = -1;
    }
  }
  if (dirFd >= 0) {
    const int err = errno;
    ::close(dirFd);
    errno = err;
  }
  return result;
}

int ListenUnixSocket(const std::filesystem::path& path) {
  sockaddr_un addr;
  int dirFd = -1;
  if (!SocketAddress(path, &addr, &dirFd)) return -1;
  ::unlink(addr.sun_path);  // a socket file a dead supervisor left behind
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int result = fd;
  if (fd >= 0 && (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 16) != 0)) {
    const int err = errno;
    ::close(fd);
    errno = err;
    result = -1;
  }
  if (dirFd >= 0) {
    const int err = errno;
    ::close(dirFd);
    errno = err;
  }
  return result;
}

CommandLine ParseBinaryPath(std::wstring_view binaryPath, const std::function<bool(const std::wstring&)>& exists) {
  std::size_t start = 0;
  while (start < binaryPath.size() && IsBlank(binaryPath[start])) ++start;
  std::wstring_view text = binaryPath.substr(start);
  CommandLine out;
  if (!text.empty() && text[0] == L'"') {
    const std::size_t close = text.find(L'"', 1);
    if (close == std::wstring_view::npos) {
      out.program = std::wstring(text.substr(1));
    } else {
      out.program = std::wstring(text.substr(1, close - 1));
      out.arguments = SplitCommandLineArguments(text.substr(close + 1));
    }
    return out;
  }
  for (std::size_t pos = text.find(L' '); pos != std::wstring_view::npos; pos = text.find(L' ', pos + 1)) {
    std::wstring candidate(text.substr(0, pos));
    if (exists(candidate)) {
      out.program = std::move(candidate);
      out.arguments = SplitCommandLineArguments(text.substr(pos + 1));
      return out;
    }
  }
  const std::size_t firstBlank = text.find_first_of(L" \t");
  if (firstBlank == std::wstring_view::npos || exists(std::wstring(text))) {
    out.program = std::wstring(text);
    return out;
  }
  out.program = std::wstring(text.substr(0, firstBlank));
  out.arguments = SplitCommandLineArguments(text.substr(firstBlank + 1));
  return out;
}

std::optional<std::filesystem::path> HostProgram(const std::wstring& program) {
  if (program.empty()) return std::nullopt;
  std::optional<std::filesystem::path> host;
  if (program[0] == L'/') {
    host = std::filesystem::path(WideToUtf8(program));
  } else {
    host = MapToHost(program);
  }
  if (!host) return std::nullopt;
  std::error_code ec;
  const std::string name = host->filename().string();
  if (!std::filesystem::exists(*host, ec) && name.size() > 4 &&
      EqualsNoCase(Utf8ToWide(name.substr(name.size() - 4)), L".exe")) {
    auto bare = *host;
    bare.replace_extension();
    if (std::filesystem::exists(bare, ec)) return bare;
  }
  return host;
}

}  // namespace scm::detail

namespace scm_testing {

DWORD ControlRefusal(const SERVICE_STATUS& current, DWORD control) {
  using namespace scm::detail;
  if (!IsDefinedControl(control)) return ERROR_INVALID_PARAMETER;
  if (current.dwCurrentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
  if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
  if (current.dwCurrentState == SERVICE_START_PENDING || current.dwCurrentState == SERVICE_STOP_PENDING) {
    return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  }
  const DWORD flag = AcceptFlagFor(control);
  if (flag != 0 && (current.dwControlsAccepted & flag) == 0) return ERROR_INVALID_SERVICE_CONTROL;
  return NO_ERROR;
}

}  // namespace scm_testing

std::string GetServiceControlErrorDetail() {
  return scm::detail::t_errorDetail;
}

const char* ServiceStateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "STOPPED";
    case SERVICE_START_PENDING:
      return "START_PENDING";
    case SERVICE_STOP_PENDING:
      return "STOP_PENDING";
    case SERVICE_RUNNING:
      return "RUNNING";
    case SERVICE_CONTINUE_PENDING:
      return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING:
      return "PAUSE_PENDING";
    case SERVICE_PAUSED:
      return "PAUSED";
    default:
      return "UNKNOWN";
  }
}

}  // namespace platform
