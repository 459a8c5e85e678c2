// CRT streams on host file descriptors. We keep the buffering ourselves (instead of
// std::FILE) so that text conversion goes straight into the write buffer and the
// moment data reaches the file is exactly fflush, fclose or a full buffer.
//
// Encodings: ",ccs=UTF-8" and ",ccs=UTF-16LE"/",ccs=UNICODE" as on the original.
// Without ccs the wide functions write and read UTF-8 without a byte-order mark
// (the original would use the ANSI code page; UTF-8 loses nothing). A BOM found at the
// start of a file opened for reading with ccs decides its encoding, as on the
// original. fread and fwrite move raw bytes in every mode.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_set>

#include "platform/fs.h"
#include "platform/src/host/fd.h"
#include "platform/text.h"

namespace platform {
namespace {

enum class Encoding { kPlainUtf8, kUtf8, kUtf16Le };

constexpr std::size_t kWriteBufferSize = 64 * 1024;
constexpr std::size_t kReadBufferSize = 16 * 1024;
constexpr std::size_t kMaxBytesPerChar = 4;  // a UTF-8 sequence, a surrogate pair, or CR LF in UTF-16

constexpr char kUtf8Bom[] = {'\xEF', '\xBB', '\xBF'};
constexpr char kUtf16Bom[] = {'\xFF', '\xFE'};

struct Mode {
  char kind = 'r';  // 'r', 'w' or 'a'
  bool update = false;
  bool binary = false;
  bool exclusive = false;
  std::optional<Encoding> ccs;
};

bool IsSpace(wchar_t c) {
  return c == L' ' || c == L'\t';
}

std::wstring_view Trim(std::wstring_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

std::optional<Mode> ParseMode(std::wstring_view text) {
  Mode mode;
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  if (i == text.size() || (text[i] != L'r' && text[i] != L'w' && text[i] != L'a')) return std::nullopt;
  mode.kind = static_cast<char>(text[i++]);
  bool textFlag = false;
  for (; i < text.size() && text[i] != L','; ++i) {
    switch (text[i]) {
      case L'+':
        if (mode.update) return std::nullopt;
        mode.update = true;
        break;
      case L'b':
        if (mode.binary || textFlag) return std::nullopt;
        mode.binary = true;
        break;
      case L't':
        if (mode.binary || textFlag) return std::nullopt;
        textFlag = true;
        break;
      case L'x':
        if (mode.kind != 'w' || mode.exclusive) return std::nullopt;
        mode.exclusive = true;
        break;
      // Commit, inheritance and caching hints mean nothing to the host.
      case L'c':
      case L'n':
      case L'N':
      case L'S':
      case L'R':
      case L'T':
      case L'D':
      case L' ':
        break;
      default:
        return std::nullopt;
    }
  }
  if (i == text.size()) return mode;

  std::wstring_view rest = Trim(text.substr(i + 1));
  if (rest.size() < 3 || !EqualsNoCase(rest.substr(0, 3), L"ccs")) return std::nullopt;
  rest = Trim(rest.substr(3));
  if (rest.empty() || rest.front() != L'=') return std::nullopt;
  const std::wstring_view name = Trim(rest.substr(1));
  if (EqualsNoCase(name, L"UTF-8")) {
    mode.ccs = Encoding::kUtf8;
  } else if (EqualsNoCase(name, L"UTF-16LE") || EqualsNoCase(name, L"UNICODE")) {
    mode.ccs = Encoding::kUtf16Le;
  } else {
    return std::nullopt;
  }
  // An encoding describes text; the original refuses it together with binary mode.
  if (mode.binary) return std::nullopt;
  return mode;
}

DWORD ErrorForMissing(const std::filesystem::path& host) {
  struct stat st;
  if (::stat(host.parent_path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
  return ERROR_FILE_NOT_FOUND;
}

}  // namespace

struct CrtStream {
  int fd = -1;
  bool canRead = false;
  bool canWrite = false;
  bool append = false;
  bool text = true;
  Encoding encoding = Encoding::kPlainUtf8;
  bool eof = false;
  bool error = false;
  // A mark at the start is looked at on the first read, not at open: a log opened
  // for every line and only appended to never pays for reading it.
  bool markPending = false;

  std::mutex lock;
  std::unique_ptr<char[]> out;  // allocated on the first write
  std::size_t outLength = 0;
  std::unique_ptr<char[]> in;  // allocated on the first read
  std::size_t inPosition = 0;
  std::size_t inLength = 0;
};

namespace {

// Every open stream, for fflush(nullptr).
struct Registry {
  std::mutex lock;
  std::unordered_set<CrtStream*> streams;
};
Registry& registry() {
  static Registry* r = new Registry;  // streams may still close during static destruction
  return *r;
}

bool FlushLocked(CrtStream& s) {
  if (s.outLength == 0) return true;
  const bool ok = host::WriteAll(s.fd, s.out.get(), s.outLength);
  s.outLength = 0;  // what could not be written is lost, as with the original
  if (!ok) s.error = true;
  return ok;
}

// Unread buffered input goes back to the file position it came from.
void DropInputLocked(CrtStream& s) {
  const std::size_t unread = s.inLength - s.inPosition;
  if (unread > 0) ::lseek(s.fd, -static_cast<off_t>(unread), SEEK_CUR);
  s.inPosition = s.inLength = 0;
}

bool PrepareWrite(CrtStream& s) {
  if (!s.canWrite) {
    s.error = true;
    errno = EBADF;
    return false;
  }
  if (s.inLength > 0) DropInputLocked(s);
  s.eof = false;
  if (!s.out) s.out = std::make_unique<char[]>(kWriteBufferSize);
  return true;
}

bool PrepareRead(CrtStream& s) {
  if (!s.canRead) {
    s.error = true;
    errno = EBADF;
    return false;
  }
  if (!FlushLocked(s)) return false;
  if (!s.in) s.in = std::make_unique<char[]>(kReadBufferSize);
  if (s.markPending) {
    s.markPending = false;
    // The mark at the start says what the file holds, and is not part of the text.
    char head[3] = {};
    const ssize_t n = ::pread(s.fd, head, sizeof head, 0);
    off_t skip = 0;
    if (n == 3 && std::memcmp(head, kUtf8Bom, 3) == 0) {
      s.encoding = Encoding::kUtf8;
      skip = 3;
    } else if (n >= 2 && std::memcmp(head, kUtf16Bom, 2) == 0) {
      s.encoding = Encoding::kUtf16Le;
      skip = 2;
    }
    if (skip > 0 && ::lseek(s.fd, 0, SEEK_CUR) == 0) ::lseek(s.fd, skip, SEEK_SET);
  }
  return true;
}

// The byte `ahead` bytes past the read position, or -1 at the end or on an error.
int PeekByte(CrtStream& s, std::size_t ahead) {
  while (s.inLength - s.inPosition <= ahead) {
    if (s.eof || s.error) return -1;
    if (s.inPosition > 0) {
      std::memmove(s.in.get(), s.in.get() + s.inPosition, s.inLength - s.inPosition);
      s.inLength -= s.inPosition;
      s.inPosition = 0;
    }
    const ssize_t n =
        host::RetryOnEintr([&] { return ::read(s.fd, s.in.get() + s.inLength, kReadBufferSize - s.inLength); });
    if (n < 0) {
      s.error = true;
      return -1;
    }
    if (n == 0) {
      s.eof = true;
      return -1;
    }
    s.inLength += static_cast<std::size_t>(n);
  }
  return static_cast<unsigned char>(s.in[s.inPosition + ahead]);
}

constexpr wchar_t kReplacement = 0xFFFD;

long NextUtf16(CrtStream& s) {
  const int b0 = PeekByte(s, 0);
  if (b0 < 0) return -1;
  const int b1 = PeekByte(s, 1);
  if (b1 < 0) {
    s.inPosition += 1;  // half a unit at the end
    return kReplacement;
  }
  s.inPosition += 2;
  const char32_t unit = static_cast<char32_t>(b0 | (b1 << 8));
  if (unit >= 0xDC00 && unit <= 0xDFFF) return kReplacement;
  if (unit < 0xD800 || unit > 0xDBFF) return static_cast<long>(unit);
  const int c0 = PeekByte(s, 0);
  const int c1 = c0 < 0 ? -1 : PeekByte(s, 1);
  if (c1 < 0) return kReplacement;
  const char32_t low = static_cast<char32_t>(c0 | (c1 << 8));
  if (low < 0xDC00 || low > 0xDFFF) return kReplacement;
  s.inPosition += 2;
  return static_cast<long>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
}

long NextUtf8(CrtStream& s) {
  const int b0 = PeekByte(s, 0);
  if (b0 < 0) return -1;
  s.inPosition += 1;
  if (b0 < 0x80) return b0;
  int more = 0;
  char32_t cp = 0, minimum = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    more = 1, cp = b0 & 0x1F, minimum = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    more = 2, cp = b0 & 0x0F, minimum = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    more = 3, cp = b0 & 0x07, minimum = 0x10000;
  } else {
    return kReplacement;
  }
  for (int k = 0; k < more; ++k) {
    const int b = PeekByte(s, 0);
    if (b < 0 || (b & 0xC0) != 0x80) return kReplacement;  // the byte starts the next character
    cp = (cp << 6) | static_cast<char32_t>(b & 0x3F);
    s.inPosition += 1;
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
  return static_cast<long>(cp);
}

// The next character as the program sees it (CR LF as LF in text mode), -1 at the end.
long NextChar(CrtStream& s) {
  const bool utf16 = s.encoding == Encoding::kUtf16Le;
  const long c = utf16 ? NextUtf16(s) : NextUtf8(s);
  if (c == L'\r' && s.text) {
    const bool lf = utf16 ? (PeekByte(s, 0) == '\n' && PeekByte(s, 1) == 0) : PeekByte(s, 0) == '\n';
    if (lf) {
      s.inPosition += utf16 ? 2 : 1;
      return L'\n';
    }
  }
  return c;
}

// Converts straight into the write buffer; a full buffer goes to the file first.
// Chunks are sized so that the inner loop needs no room check per character.
bool PutUtf8(CrtStream& s, std::wstring_view text) {
  char* const base = s.out.get();
  char* const bufferEnd = base + kWriteBufferSize;
  char* out = base + s.outLength;
  const bool crlf = s.text;
  const wchar_t* p = text.data();
  const wchar_t* const end = p + text.size();
  while (p < end) {
    const auto room = static_cast<std::size_t>(bufferEnd - out) / kMaxBytesPerChar;
    if (room == 0) {
      s.outLength = static_cast<std::size_t>(out - base);
      if (!FlushLocked(s)) return false;
      out = base;
      continue;
    }
    const wchar_t* const stop = p + std::min(room, static_cast<std::size_t>(end - p));
    for (; p < stop; ++p) {
      char32_t c = static_cast<char32_t>(*p);
      if (c < 0x80) {
        if (c == U'\n' && crlf) *out++ = '\r';
        *out++ = static_cast<char>(c);
        continue;
      }
      if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacement;
      if (c < 0x800) {
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
      } else {
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
      }
    }
  }
  s.outLength = static_cast<std::size_t>(out - base);
  return true;
}

bool PutUtf16(CrtStream& s, std::wstring_view text) {
  char* const base = s.out.get();
  char* const limit = base + kWriteBufferSize - kMaxBytesPerChar;
  char* out = base + s.outLength;
  auto unit = [&out](char32_t u) {
    *out++ = static_cast<char>(u & 0xFF);
    *out++ = static_cast<char>(u >> 8);
  };
  for (wchar_t w : text) {
    if (out > limit) {
      s.outLength = static_cast<std::size_t>(out - base);
      if (!FlushLocked(s)) return false;
      out = base;
    }
    char32_t c = static_cast<char32_t>(w);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacement;
    if (c == U'\n' && s.text) unit(U'\r');
    if (c >= 0x10000) {
      unit(0xD800 + ((c - 0x10000) >> 10));
      unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      unit(c);
    }
  }
  s.outLength = static_cast<std::size_t>(out - base);
  return true;
}

int Fail(int err, DWORD win32) {
  errno = err;
  SetLastError(win32);
  return err;
}

}  // namespace

int _wfopen_s(CrtStream** stream, LPCWSTR path, LPCWSTR mode) {
  if (stream == nullptr) return Fail(EINVAL, ERROR_INVALID_PARAMETER);
  *stream = nullptr;
  if (path == nullptr || mode == nullptr) return Fail(EINVAL, ERROR_INVALID_PARAMETER);
  const auto parsed = ParseMode(mode);
  if (!parsed) return Fail(EINVAL, ERROR_INVALID_PARAMETER);
  const auto host = MapToHost(path);
  if (!host) return Fail(ENOENT, ERROR_PATH_NOT_FOUND);

  int flags = O_CLOEXEC;
  switch (parsed->kind) {
    case 'r':
      flags |= parsed->update ? O_RDWR : O_RDONLY;
      break;
    case 'w':
      flags |= (parsed->update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
      break;
    default:
      flags |= (parsed->update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
      break;
  }
  if (parsed->exclusive) flags |= O_EXCL;
  const int fd = ::open(host->c_str(), flags, 0666);
  if (fd < 0) {
    const int err = errno == EISDIR ? EACCES : errno;  // the original cannot open a folder as a stream
    return Fail(err, err == ENOENT ? ErrorForMissing(*host) : Win32ErrorFromErrno(err));
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return Fail(EACCES, ERROR_ACCESS_DENIED);
  }

  auto s = std::make_unique<CrtStream>();
  s->fd = fd;
  s->canRead = parsed->kind == 'r' || parsed->update;
  s->canWrite = parsed->kind != 'r' || parsed->update;
  s->append = parsed->kind == 'a';
  s->text = !parsed->binary;
  s->encoding = parsed->ccs.value_or(Encoding::kPlainUtf8);

  s->markPending = parsed->ccs && s->canRead && st.st_size > 0;
  if (parsed->ccs && parsed->kind != 'r' && st.st_size == 0) {
    const bool utf16 = s->encoding == Encoding::kUtf16Le;
    if (!host::WriteAll(fd, utf16 ? kUtf16Bom : kUtf8Bom, utf16 ? sizeof kUtf16Bom : sizeof kUtf8Bom)) {
      const int err = errno;
      ::close(fd);
      return Fail(err, Win32ErrorFromErrno(err));
    }
  }

  {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.streams.insert(s.get());
  }
  *stream = s.release();
  return 0;
}

CrtStream* _wfopen(LPCWSTR path, LPCWSTR mode) {
  CrtStream* stream = nullptr;
  _wfopen_s(&stream, path, mode);
  return stream;
}

int fclose(CrtStream* stream) {
  if (stream == nullptr) {
    errno = EINVAL;
    return -1;
  }
  {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    r.streams.erase(stream);
  }
  std::unique_ptr<CrtStream> owned(stream);
  bool ok = false;
  {
    std::lock_guard guard(owned->lock);
    ok = FlushLocked(*owned);
    if (::close(owned->fd) != 0) ok = false;
  }
  return ok ? 0 : -1;
}

int fflush(CrtStream* stream) {
  if (stream == nullptr) {
    Registry& r = registry();
    std::lock_guard guard(r.lock);
    int result = 0;
    for (CrtStream* s : r.streams) {
      std::lock_guard streamGuard(s->lock);
      if (!FlushLocked(*s)) result = -1;
    }
    return result;
  }
  std::lock_guard guard(stream->lock);
  if (stream->inLength > 0) DropInputLocked(*stream);
  return FlushLocked(*stream) ? 0 : -1;
}

int fputws(std::wstring_view text, CrtStream* stream) {
  if (stream == nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::lock_guard guard(stream->lock);
  if (!PrepareWrite(*stream)) return -1;
  const bool ok = stream->encoding == Encoding::kUtf16Le ? PutUtf16(*stream, text) : PutUtf8(*stream, text);
  return ok ? 0 : -1;
}

int fputws(LPCWSTR text, CrtStream* stream) {
  if (text == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return fputws(std::wstring_view(text), stream);
}

wchar_t* fgetws(wchar_t* buffer, int count, CrtStream* stream) {
  if (buffer == nullptr || count <= 0 || stream == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  std::lock_guard guard(stream->lock);
  if (!PrepareRead(*stream)) return nullptr;
  const bool failedBefore = stream->error;
  int n = 0;
  while (n < count - 1) {
    const long c = NextChar(*stream);
    if (c < 0) break;
    buffer[n++] = static_cast<wchar_t>(c);
    if (c == L'\n') break;
  }
  buffer[n] = L'\0';
  if (stream->error && !failedBefore) return nullptr;
  if (n == 0 && count > 1) return nullptr;  // nothing left
  return buffer;
}

std::size_t fread(void* buffer, std::size_t size, std::size_t count, CrtStream* stream) {
  if (stream == nullptr || buffer == nullptr) {
    errno = EINVAL;
    return 0;
  }
  if (size == 0 || count == 0) return 0;
  if (count > static_cast<std::size_t>(-1) / size) {
    errno = EINVAL;
    return 0;
  }
  std::lock_guard guard(stream->lock);
  CrtStream& s = *stream;
  if (!PrepareRead(s)) return 0;
  auto* out = static_cast<char*>(buffer);
  const std::size_t total = size * count;
  std::size_t done = 0;
  while (done < total) {
    if (s.inPosition < s.inLength) {
      const std::size_t n = std::min(total - done, s.inLength - s.inPosition);
      std::memcpy(out + done, s.in.get() + s.inPosition, n);
      s.inPosition += n;
      done += n;
      continue;
    }
    if (s.eof || s.error) break;
    // Large reads go straight to the caller's buffer.
    const bool direct = total - done >= kReadBufferSize;
    char* target = direct ? out + done : s.in.get();
    const ssize_t n = host::RetryOnEintr([&] { return ::read(s.fd, target, direct ? total - done : kReadBufferSize); });
    if (n < 0) {
      s.error = true;
      break;
    }
    if (n == 0) {
      s.eof = true;
      break;
    }
    if (direct) {
      done += static_cast<std::size_t>(n);
    } else {
      s.inPosition = 0;
      s.inLength = static_cast<std::size_t>(n);
    }
  }
  return done / size;
}

std::size_t fwrite(const void* buffer, std::size_t size, std::size_t count, CrtStream* stream) {
  if (stream == nullptr || buffer == nullptr) {
    errno = EINVAL;
    return 0;
  }
  if (size == 0 || count == 0) return 0;
  if (count > static_cast<std::size_t>(-1) / size) {
    errno = EINVAL;
    return 0;
  }
  std::lock_guard guard(stream->lock);
  CrtStream& s = *stream;
  if (!PrepareWrite(s)) return 0;
  const std::size_t total = size * count;
  const auto* data = static_cast<const char*>(buffer);
  if (total > kWriteBufferSize - s.outLength) {
    if (!FlushLocked(s)) return 0;
    if (total >= kWriteBufferSize) {
      if (!host::WriteAll(s.fd, data, total)) {
        s.error = true;
        return 0;
      }
      return count;
    }
  }
  std::memcpy(s.out.get() + s.outLength, data, total);
  s.outLength += total;
  return count;
}

int feof(CrtStream* stream) {
  if (stream == nullptr) {
    errno = EINVAL;
    return 0;
  }
  std::lock_guard guard(stream->lock);
  return stream->eof && stream->inPosition >= stream->inLength ? 1 : 0;
}

int ferror(CrtStream* stream) {
  if (stream == nullptr) {
    errno = EINVAL;
    return 0;
  }
  std::lock_guard guard(stream->lock);
  return stream->error ? 1 : 0;
}

}  // namespace platform
