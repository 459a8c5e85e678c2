// Stands between the clients of this machine and the service's endpoint, passes every
// byte on unchanged and keeps each PDU it sees, so a test can read on the wire what a
// client asked and what the service answered, and when a connection ended.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

namespace Korvo_Tallisk::testing {

class RpcWireTap {
 public:
  // Connection-oriented PDU types.
  static constexpr std::uint8_t kRequest = 0;
  static constexpr std::uint8_t kResponse = 2;
  static constexpr std::uint8_t kFault = 3;
  static constexpr std::uint8_t kBind = 11;
  static constexpr std::uint8_t kBindAck = 12;

  struct Event {
    int connection = 0;     // connections are numbered from 0 as they are accepted
    bool closed = false;    // the connection ended here; no PDU
    bool toServer = false;  // the PDU's direction
    std::uint8_t type = 0;  // the PDU's type
    std::uint32_t callId = 0;
    std::uint16_t opnum = 0;         // requests only
    std::vector<std::uint8_t> body;  // requests and responses: the stub data; others: all after the header
  };

  // Moves the endpoint socket at `endpoint` aside (to "<endpoint>.tapped") and serves in
  // its place; the destructor puts it back.
  explicit RpcWireTap(std::filesystem::path endpoint);
  ~RpcWireTap();
  RpcWireTap(const RpcWireTap&) = delete;
  RpcWireTap& operator=(const RpcWireTap&) = delete;

  // False when the tap could not take the endpoint's place.
  bool ok() const { return listener_ >= 0; }
  // Everything seen so far, in order.
  std::vector<Event> Events() const;
  int OpenConnections() const;

 private:
  struct Pair;
  void Run();
  void Accept(std::vector<Pair>& pairs);
  // Passes what `from` has on to `to`; false when `from` ended or the peer is gone.
  bool Relay(Pair& pair, bool toServer);
  void Record(Event event);

  std::filesystem::path endpoint_;
  std::filesystem::path tapped_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  int connections_ = 0;
  mutable std::mutex lock_;
  std::vector<Event> events_;
  int open_ = 0;
  std::thread thread_;
};

}  // namespace Korvo_Tallisk::testing
