#include "platform/src/host/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>

#include <fmt/format.h>

#include "platform/src/host/fd.h"

namespace platform::host {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

bool SetLock(int fd, short type, bool wait) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;  // start 0, length 0: the whole file, however it grows
  return RetryOnEintr([&] { return ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock); }) == 0;
}

}  // namespace

bool WriteFileAtomically(const std::filesystem::path& path, const std::string& bytes) {
  // Unique per process and write, so concurrent writers never share a temporary.
  static std::atomic<unsigned> counter{0};
  std::filesystem::path temp = path;
  temp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
  UniqueFd fd(RetryOnEintr([&] { return ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); }));
  if (!fd.valid()) return false;
  if (!WriteAll(fd.get(), bytes.data(), bytes.size()) || ::close(fd.release()) != 0 ||
      ::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    errno = err;
    return false;
  }
  return true;
}

std::optional<std::string> ReadFile(const std::filesystem::path& path) {
  UniqueFd fd(RetryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!fd.valid()) {
    if (errno == ENOENT) return std::nullopt;
    ThrowErrno("cannot read " + path.string());
  }
  std::string text;
  if (!ReadToEnd(fd.get(), &text)) ThrowErrno("cannot read " + path.string());
  return text;
}

std::string ReadFileIfExists(const std::filesystem::path& path) {
  auto text = ReadFile(path);
  return text ? std::move(*text) : std::string();
}

int OpenLockFile(const std::filesystem::path& path) {
  return RetryOnEintr([&] { return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644); });
}

bool TryLockExclusive(int fd) {
  return SetLock(fd, F_WRLCK, false);
}

bool LockExclusive(int fd) {
  return SetLock(fd, F_WRLCK, true);
}

bool LockShared(int fd) {
  return SetLock(fd, F_RDLCK, true);
}

bool IsLockedByOther(const std::filesystem::path& path) {
  UniqueFd fd(RetryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!fd.valid()) return false;
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return ::fcntl(fd.get(), F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

LockFile::LockFile(const std::filesystem::path& path, Mode mode) : fd_(OpenLockFile(path)) {
  if (fd_ < 0 || !(mode == Mode::kShared ? LockShared(fd_) : LockExclusive(fd_))) {
    const int err = errno;
    if (fd_ >= 0) ::close(fd_);
    throw std::system_error(err, std::generic_category(), "cannot lock " + path.string());
  }
}

LockFile::~LockFile() {
  ::close(fd_);
}

DamagedFile::DamagedFile(const std::string& what, const std::filesystem::path& file, const std::string& why)
    : std::runtime_error(fmt::format("{}{}{} is damaged: {}", what, what.empty() ? "" : " ", file.string(), why)),
      file_(file) {}

void UpdateFile(const std::filesystem::path& path, const std::filesystem::path& lockPath,
                const std::function<std::optional<std::string>(const std::optional<std::string>& text)>& change,
                const std::function<void()>& whileLocked) {
  LockFile lock(lockPath);
  const auto replacement = change(ReadFile(path));
  if (replacement && !WriteFileAtomically(path, *replacement)) ThrowErrno("cannot write " + path.string());
  if (whileLocked) whileLocked();
}

}  // namespace platform::host
