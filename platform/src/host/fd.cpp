#include "platform/src/host/fd.h"

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace platform::host {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) {
    const int saved = errno;
    ::close(fd_);
    errno = saved;
  }
  fd_ = fd;
}

namespace {

template <class Write>
bool WriteEvery(const void* data, std::size_t size, Write write) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = RetryOnEintr([&] { return write(bytes, size); });
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;  // a descriptor that takes nothing would loop forever
      return false;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool WriteAll(int fd, const void* data, std::size_t size) {
  return WriteEvery(data, size, [fd](const char* p, std::size_t n) { return ::write(fd, p, n); });
}

bool SendAll(int fd, const void* data, std::size_t size) {
  return WriteEvery(data, size, [fd](const char* p, std::size_t n) { return ::send(fd, p, n, MSG_NOSIGNAL); });
}

bool ReadAllAt(int fd, void* data, std::size_t size, std::size_t offset) {
  auto* out = static_cast<char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n =
        RetryOnEintr([&] { return ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done)); });
    if (n <= 0) {
      if (n == 0) errno = 0;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadToEnd(int fd, std::string* out) {
  char chunk[1 << 14];
  for (;;) {
    const ssize_t n = RetryOnEintr([&] { return ::read(fd, chunk, sizeof chunk); });
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(chunk, static_cast<std::size_t>(n));
  }
}

}  // namespace platform::host
