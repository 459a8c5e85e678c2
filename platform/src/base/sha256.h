// SHA-256 (FIPS 180-4). The security area derives capability SIDs from a digest of
// the capability name; nothing here is meant for bulk hashing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace platform::base::detail {

class Sha256 {
 public:
  using Digest = std::array<std::uint8_t, 32>;

  Sha256();
  void Update(const void* data, std::size_t size);
  void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }
  // Pads, returns the digest and leaves the object reset for another message.
  Digest Finish();

  static Digest Of(const void* data, std::size_t size);

 private:
  void Reset();
  void Compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_{};
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t totalBytes_ = 0;
};

}  // namespace platform::base::detail
