// The USB Type-C configuration reader on arbitrary text from the firmware: whatever the
// XML says (counts, port indexes, powers, entities, depth), the read ends in work
// bounded by the input and leaves a configuration within the rules below.
#include <stdlib.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/com.h"
#include "platform/machine.h"
#include "platform/text.h"
#include "service/bridge/usbc_info.h"

namespace {

[[noreturn]] void Broken(const char* rule) {
  std::fprintf(stderr, "broken: %s\n", rule);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A machine of its own in a fresh folder, with the multithreaded apartment joined.
  char pattern[] = "/tmp/korvo-usbc-fuzz-XXXXXX";
  if (mkdtemp(pattern) == nullptr) Broken("cannot make the machine root");
  platform::Machine::Options options;
  options.root = pattern;
  platform::SelectMachine(platform::Machine::Open(std::move(options)));
  if (platform::FAILED(platform::CoInitializeEx(nullptr, platform::COINIT_MULTITHREADED))) Broken("no apartment");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::wstring xml = platform::Utf8ToWide(std::string(reinterpret_cast<const char*>(data), size));
  RpcServer::SysInfo::UsbCConfigInfo config;
  RpcServer::SysInfo::CUsbCBiosInfo::ParseConfiguration(xml, config);
  // Powers are the largest over the ports, starting from 0.
  if (config.MaxDownstreamPower < 0 || config.MaxUpstreamPower < 0) Broken("a power below its start of 0");
  const int watts = RpcServer::SysInfo::MaxPowerWatts(config.MaxDownstreamPower);
  if (watts < 0 || watts > INT_MAX / 4) Broken("watts out of range");
  // A port is read only below a positive count.
  if (config.NumberOfPorts <= 0 &&
      (config.SupportBasicUsb || config.SupportUsb31Gen2 || config.SupportUpstreamPowerDelivery ||
       config.SupportDownstreamPowerDelivery || config.SupportDisplayPortAlternateMode ||
       config.SupportThunderboltAlternateMode || config.DisplayPortLaneX2 || config.DisplayPortLaneX4 ||
       config.MaxDownstreamPower != 0 || config.MaxUpstreamPower != 0)) {
    Broken("a port was read without a positive count");
  }
  return 0;
}
