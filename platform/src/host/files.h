// Files of the machine root that several processes share: atomic replacement and
// whole-file locks that every thread and process of the machine respects.
#pragma once

#include <filesystem>
#include <string>

namespace platform::host {

// Writes a file through a temporary one and a rename; false with errno set.
bool WriteFileAtomically(const std::filesystem::path& path, const std::string& bytes);

// Open-file-description locks on a whole file: shared by every thread and process, and
// kept by an exec'd child that inherits the descriptor.
int OpenLockFile(const std::filesystem::path& path);  // -1 with errno
bool TryLockExclusive(int fd);                        // false when another holds it
bool LockExclusive(int fd);                           // waits
bool IsLockedByOther(const std::filesystem::path& path);

// Holds the exclusive lock of `path` for its lifetime; throws std::system_error when
// the file cannot be opened or locked.
class LockFile {
 public:
  explicit LockFile(const std::filesystem::path& path);
  ~LockFile();  // closing the descriptor releases the lock
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

 private:
  int fd_;
};

// The whole file as bytes; "" when it does not exist. Throws std::system_error when it
// exists but cannot be read.
std::string ReadFileIfExists(const std::filesystem::path& path);

}  // namespace platform::host
