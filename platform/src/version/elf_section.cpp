#include "platform/src/version/elf_section.h"

#include <elf.h>

#include "platform/src/host/fd.h"

namespace platform::version::detail {

// Found through the section header table and its name table. Looking for a marker
// anywhere in the file would find the copy that the reading code keeps in .rodata of
// every program linked with it.
std::optional<std::string> ReadElfSection(int fd, std::uint64_t fileSize, std::string_view wanted,
                                          std::uint64_t maxBytes) {
  Elf64_Ehdr eh;
  if (fileSize < sizeof eh || !host::ReadAllAt(fd, &eh, sizeof eh, 0)) return std::nullopt;
  if (std::string_view(reinterpret_cast<const char*>(eh.e_ident), SELFMAG) != std::string_view(ELFMAG, SELFMAG)) {
    return std::nullopt;
  }
  if (eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != ELFDATA2LSB) return std::nullopt;
  if (eh.e_shoff == 0 || eh.e_shentsize < sizeof(Elf64_Shdr) || eh.e_shoff >= fileSize) return std::nullopt;

  auto sectionHeader = [&](std::uint64_t index, Elf64_Shdr& out) {
    const std::uint64_t at = eh.e_shoff + index * eh.e_shentsize;
    return at <= fileSize && fileSize - at >= sizeof out && host::ReadAllAt(fd, &out, sizeof out, at);
  };
  // Files with very many sections keep the real counts in section 0.
  std::uint64_t count = eh.e_shnum;
  std::uint64_t names = eh.e_shstrndx;
  if (count == 0 || names == SHN_XINDEX) {
    Elf64_Shdr first;
    if (!sectionHeader(0, first)) return std::nullopt;
    if (count == 0) count = first.sh_size;
    if (names == SHN_XINDEX) names = first.sh_link;
  }
  if (count > (fileSize - eh.e_shoff) / eh.e_shentsize || names >= count) return std::nullopt;

  Elf64_Shdr nameTable;
  if (!sectionHeader(names, nameTable) || nameTable.sh_type == SHT_NOBITS) return std::nullopt;
  if (nameTable.sh_offset > fileSize || nameTable.sh_size > fileSize - nameTable.sh_offset) return std::nullopt;
  std::string nameBytes(nameTable.sh_size, '\0');
  if (!host::ReadAllAt(fd, nameBytes.data(), nameBytes.size(), nameTable.sh_offset)) return std::nullopt;

  for (std::uint64_t i = 0; i < count; ++i) {
    Elf64_Shdr sh;
    if (!sectionHeader(i, sh)) return std::nullopt;
    if (sh.sh_name >= nameBytes.size()) continue;
    std::string_view name(nameBytes.c_str() + sh.sh_name);  // NUL-terminated inside the table
    if (name != wanted || sh.sh_type == SHT_NOBITS) continue;
    if (sh.sh_offset > fileSize || sh.sh_size > fileSize - sh.sh_offset || sh.sh_size > maxBytes) {
      return std::nullopt;
    }
    std::string contents(sh.sh_size, '\0');
    if (!host::ReadAllAt(fd, contents.data(), contents.size(), sh.sh_offset)) return std::nullopt;
    if (auto nul = contents.find('\0'); nul != std::string::npos) contents.resize(nul);
    return contents;
  }
  return std::nullopt;
}

}  // namespace platform::version::detail
