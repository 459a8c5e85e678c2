// The failures of the app's runtime: a failed runtime operation raises hresult_error
// with its code at once (as the app expects of its platform), and a cancelled task
// raises task_canceled to whoever waits for it.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include <QString>

namespace app_runtime {

// Codes the runtime raises, in the platform's HRESULT form.
inline constexpr std::int32_t E_FAIL_CODE = static_cast<std::int32_t>(0x80004005);
inline constexpr std::int32_t E_ILLEGAL_METHOD_CALL = static_cast<std::int32_t>(0x8000000E);
inline constexpr std::int32_t E_ACCESS_DENIED_CODE = static_cast<std::int32_t>(0x80070005);
// HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS): a move or copy met an existing name.
inline constexpr std::int32_t E_ALREADY_EXISTS = static_cast<std::int32_t>(0x800700B7);
// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
inline constexpr std::int32_t E_FILE_NOT_FOUND = static_cast<std::int32_t>(0x80070002);
// HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)
inline constexpr std::int32_t E_PATH_NOT_FOUND = static_cast<std::int32_t>(0x80070003);

class hresult_error : public std::exception {
 public:
  hresult_error(std::int32_t code, QString message);
  std::int32_t code() const noexcept { return code_; }
  const QString& message() const noexcept { return message_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::int32_t code_;
  QString message_;
  std::string what_;
};

class task_canceled : public std::exception {
 public:
  const char* what() const noexcept override { return "the task was cancelled"; }
};

// Ends the running task as cancelled (its waiters get task_canceled).
[[noreturn]] void cancel_current_task();

}  // namespace app_runtime
