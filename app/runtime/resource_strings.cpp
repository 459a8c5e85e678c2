// The app's keyed strings: one line each, the key (which is also the translation id)
// after its English source text. See resources.h for how a new key gets translated.
#include "app/runtime/resource_strings.h"

#include <QtGlobal>

namespace app_runtime::detail {

namespace {

const char* const kResourceKeys[] = {
    /*% "usable" */ QT_TRID_NOOP("Usable/Text"),
    /*% "None" */ QT_TRID_NOOP("BiosCredentialValueNone/Text"),
    /*% "Password" */ QT_TRID_NOOP("BiosCredentialValuePassword/Text"),
    /*% "Stellgard key" */ QT_TRID_NOOP("BiosCredentialValueStellgard/Text"),
    /*% "Supported" */ QT_TRID_NOOP("Supported/Text"),
    /*% "Not supported" */ QT_TRID_NOOP("NotSupported/Text"),
    /*% "USB 3.1 Gen 1 (5 Gbps)" */ QT_TRID_NOOP("USB31Gen1/Text"),
    /*% "USB 3.1 Gen 2 (10 Gbps)" */ QT_TRID_NOOP("USB31Gen2/Text"),
    // The title bar and the message dialog.
    /*% "Minimize" */ QT_TRID_NOOP("MinimizeButton/ToolTip"),
    /*% "Close" */ QT_TRID_NOOP("CloseButton/ToolTip"),
    /*% "OK" */ QT_TRID_NOOP("OkButton/Content"),
    // The main page.
    /*% "Product name" */ QT_TRID_NOOP("ProductNameLabel/Text"),
    /*% "SKU" */ QT_TRID_NOOP("SkuLabel/Text"),
    /*% "Build ID" */ QT_TRID_NOOP("BuildIdLabel/Text"),
    /*% "Memory" */ QT_TRID_NOOP("MemoryLabel/Text"),
    /*% "Processor" */ QT_TRID_NOOP("ProcessorLabel/Text"),
    /*% "BIOS version and date" */ QT_TRID_NOOP("BiosVersionLabel/Text"),
    /*% "Board version" */ QT_TRID_NOOP("BoardVersionLabel/Text"),
    /*% "Serial number" */ QT_TRID_NOOP("SerialNumberLabel/Text"),
    /*% "Feature byte" */ QT_TRID_NOOP("FeatureByteLabel/Text"),
    /*% "BIOS password" */ QT_TRID_NOOP("BiosPasswordLabel/Text"),
    /*% "USB Type-C" */ QT_TRID_NOOP("UsbTypeCButton/Content"),
    /*% "System Information" */ QT_TRID_NOOP("AdvancedButton/Content"),
    // The USB Type-C page.
    /*% "Data and video" */ QT_TRID_NOOP("UsbDataHeadingLabel/Text"),
    /*% "USB data rate" */ QT_TRID_NOOP("UsbDevicesLabel/Text"),
    /*% "Thunderbolt" */ QT_TRID_NOOP("ThunderboltLabel/Text"),
    /*% "DisplayPort" */ QT_TRID_NOOP("DisplayPortLabel/Text"),
    /*% "Power" */ QT_TRID_NOOP("UsbPowerHeadingLabel/Text"),
    /*% "Supplies power" */ QT_TRID_NOOP("PowerProviderLabel/Text"),
    /*% "Charges this PC" */ QT_TRID_NOOP("PowerConsumerLabel/Text"),
    /*% "Maximum power output" */ QT_TRID_NOOP("MaxPowerOutputLabel/Text"),
    /*% "Back" */ QT_TRID_NOOP("BackButton/Content"),
    // Both pages: copying the shown facts, and why a read of the service failed.
    /*% "Copy" */ QT_TRID_NOOP("CopyFacts/Text"),
    /*% "Copy in English" */ QT_TRID_NOOP("CopyFactsInEnglish/Text"),
    /*% "The Korvo Vesk Service is not running." */ QT_TRID_NOOP("ServiceNotRunning/Text"),
    /*% "The Korvo Vesk Service refused access." */ QT_TRID_NOOP("ServiceRefused/Text"),
    /*% "The Korvo Vesk Service did not answer in time." */ QT_TRID_NOOP("ServiceTimedOut/Text"),
    /*% "The Korvo Vesk Service did not answer (status %1)." */ QT_TRID_NOOP("ServiceNoAnswer/Text"),
};

}  // namespace

std::span<const char* const> ResourceKeys() {
  return kResourceKeys;
}

}  // namespace app_runtime::detail
