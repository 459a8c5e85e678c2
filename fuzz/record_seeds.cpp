// Records the seed corpora of the fuzz targets from real conversations: the app's
// sequence of calls through the client stubs, over a socket pair, to the server
// runtime with the fixed procedures. What the client sent seeds the server's target,
// what the server sent seeds the client's.
//
//   record_seeds <corpus folder>     writes <folder>/server/*.bin and <folder>/client/*.bin
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/rpc_link.h"
#include "platform/rpc_wire.h"
#include "shared/rpc/testing/fixed_procedures.h"
#include "shared/rpc/vesk.h"
#include "shared/rpc/vesk_server.h"

namespace {

using namespace platform;
namespace wire = platform::rpc::wire;

constexpr std::uint8_t kPlaceholder[16] = {'c', 't', 'x', '-', 'p', 'l', 'a', 'c',
                                           'e', 'h', 'o', 'l', 'd', 'e', 'r', '!'};

class RecordingLink final : public rpc::Link {
 public:
  RecordingLink(int fd, std::vector<std::uint8_t>* sent, std::vector<std::uint8_t>* received)
      : socket_(rpc::MakeSocketLink(fd)), sent_(sent), received_(received) {}
  std::size_t Receive(std::uint8_t* data, std::size_t size) override {
    const std::size_t n = socket_->Receive(data, size);
    received_->insert(received_->end(), data, data + n);
    return n;
  }
  bool Send(const std::uint8_t* data, std::size_t size) override {
    sent_->insert(sent_->end(), data, data + size);
    return socket_->Send(data, size);
  }

 private:
  std::unique_ptr<rpc::Link> socket_;
  std::vector<std::uint8_t>* sent_;
  std::vector<std::uint8_t>* received_;
};

struct Recording {
  std::vector<std::uint8_t> client;  // what the client sent
  std::vector<std::uint8_t> server;  // what the server sent
};

Recording Record(unsigned long syntaxes, bool closeContext) {
  Recording r;
  std::vector<std::thread> servers;
  RPC_BINDING_HANDLE binding = rpc::BindingOverLinks([&]() -> std::unique_ptr<rpc::Link> {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return nullptr;
    servers.emplace_back([fd = pair[1]] {
      auto link = rpc::MakeSocketLink(fd);
      rpc::PeerIdentity peer;
      peer.known = true;
      rpc::ServeLink(*link, peer, {});
    });
    return std::make_unique<RecordingLink>(pair[0], &r.client, &r.server);
  });
  RpcBindingSetOption(binding, RPC_C_OPT_TRANSFER_SYNTAXES, syntaxes);
  ClientContextHandle context = nullptr;
  LONG size = 0, value = 0;
  char16_t* data = nullptr;
  RpcGuard([&] { OpenClientContext(binding, &context); });
  RpcGuard([&] { ReadSysInfo(context, &size, &data); });
  MIDL_user_free(data);
  data = nullptr;
  RpcGuard([&] { ReadUSBTypeCInfo(context, &size, &data); });
  MIDL_user_free(data);
  RpcGuard([&] { value = IsMeridServiceInstalled(context); });
  RpcGuard([&] { value = IsMeridNodePresent(context); });
  RpcGuard([&] { StartMSInfoApp(context); });
  RpcGuard([&] { StartUSBC(context); });
  if (closeContext) RpcGuard([&] { CloseClientContext(&context); });
  RpcSsDestroyClientContext(&context);
  RpcBindingFree(&binding);
  for (auto& t : servers) t.join();

  // The server makes a new handle each time: the server's seed names it by placeholder.
  std::size_t at = 0;
  while (r.server.size() - at >= wire::kHeaderSize) {
    wire::Header h;
    wire::DecodeHeader(r.server.data() + at, &h);
    wire::CallFragment f;
    if (h.type == wire::kResponse && wire::DecodeResponse(r.server.data() + at, h.fragLength, h, &f) &&
        f.stubSize == 20) {
      for (std::size_t i = 0; i + 16 <= r.client.size(); ++i) {
        if (std::memcmp(r.client.data() + i, f.stub + 4, 16) == 0) std::memcpy(r.client.data() + i, kPlaceholder, 16);
      }
    }
    at += h.fragLength;
  }
  return r;
}

void Write(const std::filesystem::path& path, std::vector<std::uint8_t> prefix,
           const std::vector<std::uint8_t>& bytes) {
  prefix.insert(prefix.end(), bytes.begin(), bytes.end());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(prefix.data()), static_cast<std::streamsize>(prefix.size()));
  if (!out) {
    std::fprintf(stderr, "record_seeds: cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::string(argv[1]) == "--help") {
    std::fprintf(stderr, "usage: record_seeds <corpus folder>\n");
    return argc == 2 ? 0 : 2;
  }
  const std::filesystem::path root = argv[1];
  std::filesystem::create_directories(root / "server");
  std::filesystem::create_directories(root / "client");
  if (RpcServerRegisterIf3(VeskRpc_v1_0_s_ifspec, nullptr, nullptr, RPC_IF_ALLOW_LOCAL_ONLY, 1234, 0, nullptr,
                           nullptr) != RPC_S_OK) {
    std::fprintf(stderr, "record_seeds: the interface did not register\n");
    return 1;
  }
  struct Variant {
    const char* name;
    unsigned long syntaxes;
    std::uint8_t syntaxByte;
    std::u16string sysInfo;
    std::u16string usbTypeC;
    bool close;
  };
  const std::u16string record = u"Korvo T14 Gen 3<.^.>SKU1#ABA<.^.>21WWCBAU6aq<.^.>16.00 GB<.^.>V1.02.03 - 01/15/2021";
  const Variant variants[] = {
      {"both-syntaxes", RPC_C_TRANSFER_NDR20 | RPC_C_TRANSFER_NDR64, 3, record, u"USB4;TBT;DP;100W", true},
      {"ndr20", RPC_C_TRANSFER_NDR20, 1, record, u"", true},
      {"ndr64", RPC_C_TRANSFER_NDR64, 2, record, u"USB4;TBT;DP;100W", true},
      {"fragmented", RPC_C_TRANSFER_NDR64, 2, std::u16string(3000, u'x'), u"", true},
      {"left-open", RPC_C_TRANSFER_NDR20, 1, u"", u"USB 3.2", false},
  };
  int files = 0;
  for (const auto& v : variants) {
    korvo::rpc_testing::SetAnswers(v.sysInfo, v.usbTypeC);
    const Recording r = Record(v.syntaxes, v.close);
    // The first byte picks the chunking: whole reads and one-byte reads for each.
    for (const std::uint8_t chunking : {std::uint8_t{7}, std::uint8_t{0}}) {
      const std::string suffix = chunking == 0 ? "-bytewise.bin" : ".bin";
      Write(root / "server" / (v.name + suffix), {chunking}, r.client);
      Write(root / "client" / (v.name + suffix), {chunking, v.syntaxByte}, r.server);
      files += 2;
    }
  }
  std::printf("record_seeds: %d seeds written under %s\n", files, root.c_str());
  return 0;
}
