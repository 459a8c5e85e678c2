// File descriptors and the system calls every area makes on them, written once: an
// owner that closes, the retry of a call an interrupting signal cut short, and whole
// reads and writes.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string>
#include <utility>

namespace platform::host {

// Owns one descriptor and closes it when destroyed. -1 owns nothing.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  // Closes what it owned (keeping errno as it was) and takes `fd`.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Calls `call` again for as long as it fails with EINTR; returns its last result.
template <class Call>
auto RetryOnEintr(Call&& call) -> decltype(call()) {
  for (;;) {
    auto result = call();
    if (!(result == -1 && errno == EINTR)) return result;
  }
}

// Writes every byte; false with errno set when the descriptor fails (a short write
// is continued, never reported). On a socket, SendAll does the same without raising
// SIGPIPE when the peer has gone.
bool WriteAll(int fd, const void* data, std::size_t size);
bool SendAll(int fd, const void* data, std::size_t size);
// Reads `size` bytes at `offset`; false with errno (0 at end of file) when fewer exist.
bool ReadAllAt(int fd, void* data, std::size_t size, std::size_t offset);
// Appends everything up to the end of the file to `out`; false with errno set.
bool ReadToEnd(int fd, std::string* out);

}  // namespace platform::host
