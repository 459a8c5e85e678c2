// What other areas need of the machine's internals. First, the checks of the machine
// profile's sections. Each area knows what its own section
// may hold and writes the check beside its code; the machine runs every check when it
// loads a profile, so a bad profile is refused at load with the JSON path of the
// problem, whichever areas a program goes on to use.
#pragma once

#include <span>
#include <string>

#include <nlohmann/json.hpp>

namespace platform::machine::detail {

struct ProfileSection {
  const char* area;
  // Throws MachineError naming `origin` and the JSON path of what is wrong.
  void (*check)(const nlohmann::json& profile, const std::string& origin);
};

std::span<const ProfileSection> ProfileSections();

// Whether the calling thread is opening the process's first machine right now: what
// it would ask of that machine (its debug output) cannot be had before the open ends.
bool OpeningCurrentMachine();

// The machine's own sections: "files" and "environment".
void CheckMachineSections(const nlohmann::json& profile, const std::string& origin);

}  // namespace platform::machine::detail
