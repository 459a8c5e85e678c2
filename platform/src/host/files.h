// Files of the machine root that several threads and processes share: whole reads,
// atomic replacement, whole-file locks, and the one read-modify-write every table of
// the machine (registry, service database, sessions, processes) goes through.
//
// Locks are open-file-description locks (fcntl F_OFD_SETLK) on the whole file, the
// one kind of lock in this layer:
//  - they belong to the open file description, so two threads of one process that
//    open the file each get their own lock and exclude each other, like two processes;
//  - a holder can be seen without taking the lock (F_OFD_GETLK), which is how a
//    supervisor is known to be alive;
//  - they are kept by an exec'd child that inherits the descriptor, and dropped when
//    the last descriptor of the description closes, so a process that dies never
//    leaves a lock behind;
//  - the named mutexes use the same mechanism on single bytes.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace platform::host {

// Writes a file through a temporary one beside it and a rename, so a reader sees the
// old content or the new and never half of either; false with errno set.
bool WriteFileAtomically(const std::filesystem::path& path, const std::string& bytes);

// The whole file; nullopt when it does not exist. Throws std::system_error when it
// exists but cannot be read.
std::optional<std::string> ReadFile(const std::filesystem::path& path);
// The same with "" for a file that does not exist.
std::string ReadFileIfExists(const std::filesystem::path& path);

// --- Whole-file locks --------------------------------------------------------------------

int OpenLockFile(const std::filesystem::path& path);  // -1 with errno
bool TryLockExclusive(int fd);                        // false when another holds it
bool LockExclusive(int fd);                           // waits; false with errno
bool LockShared(int fd);                              // waits; false with errno
bool IsLockedByOther(const std::filesystem::path& path);

// Holds the lock of `path` (created when missing) for its lifetime; throws
// std::system_error when the file cannot be opened or locked.
class LockFile {
 public:
  enum class Mode { kExclusive, kShared };
  explicit LockFile(const std::filesystem::path& path, Mode mode = Mode::kExclusive);
  ~LockFile();  // closing the descriptor releases the lock
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// --- Read, modify, write -------------------------------------------------------------------

// A machine file that exists but cannot be understood. Readers report it by name and
// writers never replace it: what a person or another version wrote stays for them to
// look at.
class DamagedFile : public std::runtime_error {
 public:
  // "<what> <file> is damaged: <why>", e.g. what = "the registry".
  DamagedFile(const std::string& what, const std::filesystem::path& file, const std::string& why);
  const std::filesystem::path& file() const { return file_; }

 private:
  std::filesystem::path file_;
};

// Under the exclusive lock of `lockPath`: reads `path` (nullopt when it does not
// exist) and gives the text to `change`, which returns the new text, or nullopt to
// leave the file as it is; the new text replaces the file atomically. A `change` that
// cannot understand the text throws (DamagedFile), and nothing is written. Throws
// std::system_error when the lock, the read or the write fails. `whileLocked`, when
// given, runs after a successful update, still under the lock.
void UpdateFile(const std::filesystem::path& path, const std::filesystem::path& lockPath,
                const std::function<std::optional<std::string>(const std::optional<std::string>& text)>& change,
                const std::function<void()>& whileLocked = {});

}  // namespace platform::host
