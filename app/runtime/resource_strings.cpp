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
};

}  // namespace

std::span<const char* const> ResourceKeys() {
  return kResourceKeys;
}

}  // namespace app_runtime::detail
