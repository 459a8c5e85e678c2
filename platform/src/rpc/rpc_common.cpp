#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <random>

#include "platform/src/host/fd.h"
#include "platform/src/rpc/rpc_internal.h"
#include "platform/text.h"

namespace platform {

void RpcRaiseException(RPC_STATUS code) {
  throw RpcRaisedException(code);
}

RPC_STATUS RpcCurrentExceptionCode() noexcept {
  try {
    throw;
  } catch (const RpcRaisedException& e) {
    return e.code();
  } catch (const std::bad_alloc&) {
    return RPC_S_OUT_OF_MEMORY;
  } catch (...) {
    return RPC_S_CPP_EXCEPTION_CODE;
  }
}

namespace rpc::detail {

SocketLink::~SocketLink() {
  ::close(fd_);
}

std::size_t SocketLink::Receive(std::uint8_t* data, std::size_t size) {
  const ssize_t n = host::RetryOnEintr([&] { return ::recv(fd_, data, size, 0); });
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool SocketLink::Send(const std::uint8_t* data, std::size_t size) {
  return host::SendAll(fd_, data, size);
}

}  // namespace rpc::detail

std::unique_ptr<rpc::Link> rpc::MakeSocketLink(int fd) {
  return std::make_unique<detail::SocketLink>(fd);
}

namespace rpc::detail {

bool SendPdus(Link& link, const std::vector<std::vector<std::uint8_t>>& pdus) {
  for (const auto& p : pdus) {
    if (!link.Send(p.data(), p.size())) return false;
  }
  return true;
}

bool PduReader::Fill(std::size_t need) {
  if (end_ - start_ >= need) return true;
  if (start_ + need > buffer_.size()) {
    std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
    if (need > buffer_.size()) buffer_.resize(need);
  }
  while (end_ - start_ < need) {
    const std::size_t n = link_.Receive(buffer_.data() + end_, buffer_.size() - end_);
    if (n == 0) return false;
    end_ += n;
  }
  return true;
}

ReadResult PduReader::Read(std::size_t maxFrag, wire::Header* header, std::vector<std::uint8_t>* pdu) {
  if (!Fill(wire::kHeaderSize)) return ReadResult::kClosed;
  switch (wire::DecodeHeader(buffer_.data() + start_, header)) {
    case wire::HeaderCheck::kBadFormat:
      return ReadResult::kBadFormat;
    case wire::HeaderCheck::kBadVersion:
      return ReadResult::kBadVersion;
    case wire::HeaderCheck::kOk:
      break;
  }
  if (header->fragLength > maxFrag) return ReadResult::kTooLong;
  if (!Fill(header->fragLength)) return ReadResult::kClosed;
  pdu->assign(buffer_.begin() + static_cast<std::ptrdiff_t>(start_),
              buffer_.begin() + static_cast<std::ptrdiff_t>(start_ + header->fragLength));
  start_ += header->fragLength;
  if (start_ == end_) start_ = end_ = 0;
  return ReadResult::kOk;
}

GUID NewUuid() {
  thread_local std::mt19937_64 random{std::random_device{}()};
  const std::uint64_t a = random(), b = random();
  GUID g;
  g.Data1 = static_cast<DWORD>(a);
  g.Data2 = static_cast<WORD>(a >> 32);
  g.Data3 = static_cast<WORD>(((a >> 48) & 0x0FFF) | 0x4000);  // version 4
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<BYTE>(b >> (8 * i));
  g.Data4[0] = static_cast<BYTE>((g.Data4[0] & 0x3F) | 0x80);
  return g;
}

std::string Utf8(const std::wstring& s) {
  return WideToUtf8(s);
}

bool StartThread(std::function<void()> body) {
  auto* task = new std::function<void()>(std::move(body));
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 1024 * 1024);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int rc = pthread_create(
      &thread, &attr,
      [](void* p) -> void* {
        std::unique_ptr<std::function<void()>> f(static_cast<std::function<void()>*>(p));
        (*f)();
        return nullptr;
      },
      task);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete task;
    return false;
  }
  return true;
}

}  // namespace rpc::detail
}  // namespace platform
