// The contents of a named section of an ELF file: how our programs carry their
// resources (".korvo_version", ".korvo_manifest"), written at build time by the cmake/
// helpers and read back here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::version::detail {

// The section `name` of the 64-bit little-endian ELF file open on `fd` (of `fileSize`
// bytes), up to its first NUL: the sections hold one C string. None when the file is
// not such an ELF file, has no such section, or the section is larger than `maxBytes`.
std::optional<std::string> ReadElfSection(int fd, std::uint64_t fileSize, std::string_view name,
                                          std::uint64_t maxBytes);

}  // namespace platform::version::detail
