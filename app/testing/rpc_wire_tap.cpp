#include "app/testing/rpc_wire_tap.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace Korvo_Tallisk::testing {
namespace {

constexpr std::size_t kHeaderSize = 16;
// Requests and responses carry alloc hint, context id and opnum (or cancel count) ahead
// of their stub data.
constexpr std::size_t kCallHeaderSize = 24;

std::uint16_t U16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
         (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

sockaddr_un Address(const std::filesystem::path& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  return addr;
}

bool SendAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

struct RpcWireTap::Pair {
  int index = 0;
  int client = -1;
  int server = -1;
  std::vector<std::uint8_t> toServer;  // bytes not yet made into whole PDUs
  std::vector<std::uint8_t> toClient;
};

RpcWireTap::RpcWireTap(std::filesystem::path endpoint)
    : endpoint_(std::move(endpoint)), tapped_(endpoint_.string() + ".tapped") {
  std::error_code ec;
  std::filesystem::rename(endpoint_, tapped_, ec);
  if (ec) return;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un addr = Address(endpoint_);
  if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 64) != 0 ||
      ::pipe2(wake_, O_CLOEXEC) != 0) {
    if (fd >= 0) ::close(fd);
    std::filesystem::rename(tapped_, endpoint_, ec);
    return;
  }
  listener_ = fd;
  thread_ = std::thread([this] { Run(); });
}

RpcWireTap::~RpcWireTap() {
  if (listener_ < 0) return;
  const char stop = 1;
  if (::write(wake_[1], &stop, 1) != 1) std::terminate();
  thread_.join();
  ::close(listener_);
  ::close(wake_[0]);
  ::close(wake_[1]);
  // The service removes its endpoint when it stops; if it still serves, it serves under
  // its own name again.
  std::error_code ec;
  std::filesystem::remove(endpoint_, ec);
  if (std::filesystem::exists(tapped_, ec)) std::filesystem::rename(tapped_, endpoint_, ec);
}

std::vector<RpcWireTap::Event> RpcWireTap::Events() const {
  std::lock_guard guard(lock_);
  return events_;
}

int RpcWireTap::OpenConnections() const {
  std::lock_guard guard(lock_);
  return open_;
}

void RpcWireTap::Record(Event event) {
  std::lock_guard guard(lock_);
  if (event.closed) --open_;
  events_.push_back(std::move(event));
}

void RpcWireTap::Run() {
  std::vector<Pair> pairs;
  for (;;) {
    std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    for (const auto& p : pairs) {
      fds.push_back({p.client, POLLIN, 0});
      fds.push_back({p.server, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    // The pairs polled this time; one accepted now is polled from the next turn on.
    const std::size_t polled = pairs.size();
    if (fds[1].revents != 0) Accept(pairs);
    // Walk back, so that ending a pair does not move the ones still to be looked at.
    for (std::size_t i = polled; i-- > 0;) {
      const short fromClient = fds[2 + 2 * i].revents;
      const short fromServer = fds[3 + 2 * i].revents;
      bool alive = true;
      if (fromClient != 0) alive = Relay(pairs[i], true);
      if (alive && fromServer != 0) alive = Relay(pairs[i], false);
      if (!alive) {
        ::close(pairs[i].client);
        ::close(pairs[i].server);
        Record({pairs[i].index, true});
        pairs.erase(pairs.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
  for (auto& p : pairs) {
    ::close(p.client);
    ::close(p.server);
  }
}

void RpcWireTap::Accept(std::vector<Pair>& pairs) {
  const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return;
  const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un addr = Address(tapped_);
  if (server < 0 || ::connect(server, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    // Nobody serves behind the tap: the client sees its connection end.
    if (server >= 0) ::close(server);
    ::close(client);
    return;
  }
  Pair pair;
  pair.index = connections_++;
  pair.client = client;
  pair.server = server;
  pairs.push_back(std::move(pair));
  std::lock_guard guard(lock_);
  ++open_;
}

bool RpcWireTap::Relay(Pair& pair, bool toServer) {
  std::uint8_t chunk[65536];
  const ssize_t n = ::recv(toServer ? pair.client : pair.server, chunk, sizeof(chunk), 0);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) return false;
  if (!SendAll(toServer ? pair.server : pair.client, chunk, static_cast<std::size_t>(n))) return false;

  auto& pending = toServer ? pair.toServer : pair.toClient;
  pending.insert(pending.end(), chunk, chunk + n);
  while (pending.size() >= kHeaderSize) {
    const std::size_t length = U16(pending, 8);
    if (length < kHeaderSize || pending.size() < length) break;
    Event event;
    event.connection = pair.index;
    event.toServer = toServer;
    event.type = pending[2];
    event.callId = U32(pending, 12);
    std::size_t bodyAt = kHeaderSize;
    if ((event.type == kRequest || event.type == kResponse) && length >= kCallHeaderSize) {
      if (event.type == kRequest) event.opnum = U16(pending, 22);
      bodyAt = kCallHeaderSize;
    }
    event.body.assign(pending.begin() + static_cast<std::ptrdiff_t>(bodyAt),
                      pending.begin() + static_cast<std::ptrdiff_t>(length));
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(length));
    Record(std::move(event));
  }
  return true;
}

}  // namespace Korvo_Tallisk::testing
