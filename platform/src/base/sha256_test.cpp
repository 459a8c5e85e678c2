#include "platform/src/base/sha256.h"

#include <string>

#include <gtest/gtest.h>

#include "platform/testing/machine_test.h"

namespace platform::base::detail {
namespace {

std::string Hex(const Sha256::Digest& digest) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (auto byte : digest) {
    out.push_back(digits[byte >> 4]);
    out.push_back(digits[byte & 15]);
  }
  return out;
}

std::string HashOf(const std::string& text) {
  return Hex(Sha256::Of(text.data(), text.size()));
}

class Sha256Test : public testing::MachineTest {};

// FIPS 180-4 examples and the usual long-message vector.
TEST_F(Sha256Test, StandardVectors) {
  EXPECT_EQ(HashOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(HashOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(HashOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(HashOf(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Lengths around the padding boundaries (55/56/63/64 bytes) and any split of the input
// give the same digest as one call.
TEST_F(Sha256Test, PiecewiseUpdatesMatchOneShot) {
  EXPECT_EQ(HashOf(std::string(55, 'x')), "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072");
  EXPECT_EQ(HashOf(std::string(56, 'x')), "04c26261370ee7541549d16dee320c723e3fd14671e66a099afe0a377c16888e");
  EXPECT_EQ(HashOf(std::string(63, 'x')), "75220b47218278e656f2013bb8f0c455a25eaf01e86c64924e9d48d89776d6f2");
  EXPECT_EQ(HashOf(std::string(64, 'x')), "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c");
  const std::string message =
      "The quick brown fox jumps over the lazy dog, again and again and again, 128+ bytes "
      "of it so that more than two blocks are needed for the message.";
  const auto expected = Sha256::Of(message.data(), message.size());
  for (std::size_t split : {std::size_t{0}, std::size_t{1}, std::size_t{55}, std::size_t{56}, std::size_t{63},
                            std::size_t{64}, std::size_t{65}, std::size_t{127}, message.size()}) {
    Sha256 hash;
    hash.Update(message.data(), split);
    hash.Update(message.data() + split, message.size() - split);
    EXPECT_EQ(hash.Finish(), expected) << "split at " << split;
  }
  Sha256 byteByByte;
  for (char c : message) byteByByte.Update(&c, 1);
  EXPECT_EQ(byteByByte.Finish(), expected);
  // Finish leaves the object ready for a new message.
  EXPECT_EQ(Hex(byteByByte.Finish()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace
}  // namespace platform::base::detail
