#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cwchar>
#include <iterator>
#include <string_view>

#include "platform/errors.h"
#include "platform/types.h"

namespace platform {
namespace {
thread_local DWORD t_lastError = 0;
thread_local DWORD t_threadId = 0;
}  // namespace

DWORD GetLastError() {
  return t_lastError;
}
void SetLastError(DWORD error) {
  t_lastError = error;
}

DWORD GetCurrentThreadId() {
  if (t_threadId == 0) t_threadId = static_cast<DWORD>(::syscall(SYS_gettid));
  return t_threadId;
}

DWORD GetCurrentProcessId() {
  return static_cast<DWORD>(::getpid());
}

DWORD Win32ErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case ENOSPC:
      return ERROR_DISK_FULL;
    case EPIPE:
      return ERROR_BROKEN_PIPE;
    case ETIMEDOUT:
      return ERROR_TIMEOUT;
    case ENOTSUP:
      return ERROR_NOT_SUPPORTED;
    case EIO:
      return ERROR_WRITE_FAULT;
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

namespace {

struct SystemMessage {
  DWORD id;
  std::wstring_view text;  // without the line end every message has
};

// The messages of the codes the service controller and the tools show to a person.
constexpr SystemMessage kSystemMessages[] = {
    {ERROR_FILE_NOT_FOUND, L"The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, L"The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, L"Access is denied."},
    {ERROR_INVALID_HANDLE, L"The handle is invalid."},
    {ERROR_INVALID_DATA, L"The data is invalid."},
    {ERROR_INVALID_PARAMETER, L"The parameter is incorrect."},
    {ERROR_CALL_NOT_IMPLEMENTED, L"This function is not supported on this system."},
    {ERROR_INVALID_NAME, L"The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_INVALID_LEVEL, L"The system call level is not correct."},
    {ERROR_BAD_EXE_FORMAT, L"The program is not a valid application."},
    {ERROR_INVALID_SERVICE_CONTROL, L"The requested control is not valid for this service."},
    {ERROR_SERVICE_REQUEST_TIMEOUT,
     L"The service did not respond to the start or control request in a timely fashion."},
    {ERROR_SERVICE_ALREADY_RUNNING, L"An instance of the service is already running."},
    {ERROR_SERVICE_DISABLED,
     L"The service cannot be started, either because it is disabled or because it has no enabled devices "
     L"associated with it."},
    {ERROR_SERVICE_DOES_NOT_EXIST, L"The specified service does not exist as an installed service."},
    {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, L"The service cannot accept control messages at this time."},
    {ERROR_SERVICE_NOT_ACTIVE, L"The service has not been started."},
    {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, L"The service process could not connect to the service controller."},
    {ERROR_DATABASE_DOES_NOT_EXIST, L"The database specified does not exist."},
    {ERROR_SERVICE_SPECIFIC_ERROR, L"The service has returned a service-specific error code."},
    {ERROR_PROCESS_ABORTED, L"The process terminated unexpectedly."},
    {ERROR_SERVICE_MARKED_FOR_DELETE, L"The specified service has been marked for deletion."},
    {ERROR_SERVICE_EXISTS, L"The specified service already exists."},
    {ERROR_DUPLICATE_SERVICE_NAME, L"The name is already in use as either a service name or a service display name."},
};

constexpr std::wstring_view kLineEnd = L"\r\n";

}  // namespace

DWORD FormatMessage(DWORD flags, DWORD messageId, DWORD languageId, LPWSTR buffer, DWORD size) {
  if (flags != (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS) || buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (languageId != 0 && languageId != MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT)) {
    SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
    return 0;
  }
  const auto* message = std::find_if(std::begin(kSystemMessages), std::end(kSystemMessages),
                                     [&](const SystemMessage& m) { return m.id == messageId; });
  if (message == std::end(kSystemMessages)) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  const std::size_t length = message->text.size() + kLineEnd.size();
  if (length + 1 > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::wmemcpy(buffer, message->text.data(), message->text.size());
  std::wmemcpy(buffer + message->text.size(), kLineEnd.data(), kLineEnd.size());
  buffer[length] = L'\0';
  return static_cast<DWORD>(length);
}

std::wstring SystemMessageText(DWORD code) {
  const DWORD lastError = GetLastError();
  std::wstring text(256, L'\0');
  DWORD length = 0;
  for (;;) {
    length = FormatMessage(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, code, 0, text.data(),
                           static_cast<DWORD>(text.size()));
    if (length != 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
    text.resize(text.size() * 2);
  }
  text.resize(length);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  SetLastError(lastError);
  return text;
}

}  // namespace platform
