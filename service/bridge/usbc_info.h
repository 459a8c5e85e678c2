// USB Type-C: the ports' configuration the legacy firmware component describes in XML,
// and its reader. The hotkey handler builds the USB Type-C information record from it
// (hotkey_handler.h).
#pragma once

#include <string>

#include "platform/types.h"

namespace RpcServer::SysInfo {

// One record for the whole machine: flags are true when any port says "true", powers
// are the largest over the ports (MaxDownstreamPower in units of 250 mW).
struct UsbCConfigInfo {
  platform::INT NumberOfPorts = 0;
  platform::INT SizeOfPort = 0;
  bool SupportBasicUsb = false;
  bool SupportUsb31Gen2 = false;
  bool SupportUpstreamPowerDelivery = false;
  bool SupportDownstreamPowerDelivery = false;
  bool SupportDisplayPortAlternateMode = false;
  bool SupportThunderboltAlternateMode = false;
  bool DisplayPortLaneX2 = false;
  bool DisplayPortLaneX4 = false;
  platform::INT MaxUpstreamPower = 0;
  platform::INT MaxDownstreamPower = 0;
};

// Lives for one read: joins a single-threaded apartment for its lifetime.
class CUsbCBiosInfo {
 public:
  CUsbCBiosInfo();
  ~CUsbCBiosInfo();
  CUsbCBiosInfo(const CUsbCBiosInfo&) = delete;
  CUsbCBiosInfo& operator=(const CUsbCBiosInfo&) = delete;

  // The XML from a VantorCommand instance of its own ("Platform.USBC.Configuration").
  platform::HRESULT GetConfigDataFromVantor(std::wstring& text);
  // Reads the XML and adds what it says to the configuration.
  void ParseUsbCConfiguration();
  // ParseUsbCConfiguration, then a copy of the configuration.
  UsbCConfigInfo GetUsbCConfigInfo();

  // Adds what one XML text says to `config`: the parse behind ParseUsbCConfiguration
  // (and the fuzz target's entry). Work is bounded by the size of the document, not by
  // the port count the document claims.
  static void ParseConfiguration(const std::wstring& xml, UsbCConfigInfo& config);

 private:
  UsbCConfigInfo m_config;
  platform::HRESULT m_hrCoInit;
};

// A decimal 32-bit integer the way the runtime's text-to-integer conversion reads one:
// leading blanks and a sign, digits up to the first other character, 0 when there is
// none, and the nearest 32-bit limit when the digits run past it.
platform::INT ParseDecimal32(const std::wstring& text);

// The "%dW" watts of a MaxDownstreamPower (units of 250 mW), truncated toward zero.
// Computed in 64 bits: the 32-bit product of the original overflows above 8589934.
platform::INT MaxPowerWatts(platform::INT maxDownstreamPower);

}  // namespace RpcServer::SysInfo
