#include "platform/src/machine/profile_sections.h"

#include "platform/src/com/wmi_internal.h"
#include "platform/src/devices/devices_profile.h"
#include "platform/src/firmware/firmware_internal.h"
#include "platform/src/registry/registry_profile.h"
#include "platform/src/sessions/sessions_internal.h"

namespace platform::machine::detail {

std::span<const ProfileSection> ProfileSections() {
  static constexpr ProfileSection kSections[] = {
      {"machine", &CheckMachineSections},  // files, environment
      {"registry", &registry::detail::CheckProfile},
      {"sessions", &sessions::detail::ValidateProfile},
      {"devices", &devices::detail::ValidateDevicesProfile},
      {"wmi", &wmi::detail::ValidateProfile},
      {"firmware", &firmware::detail::ValidateProfile},
  };
  return kSections;
}

}  // namespace platform::machine::detail
