#include "platform/rpc_wire.h"

#include <gtest/gtest.h>

#include "platform/testing/machine_test.h"

namespace platform::rpc::wire {
namespace {

class RpcWireTest : public platform::testing::MachineTest {};

constexpr RPC_SYNTAX_IDENTIFIER kInterface = {
    {0x82620ac0, 0x3274, 0x4534, {0x98, 0x4a, 0x00, 0x1b, 0x0b, 0xe6, 0xfc, 0xad}}, {1, 0}};

TEST_F(RpcWireTest, BindAndAckRoundTrip) {
  Bind bind;
  bind.assocGroupId = 0x1234;
  bind.contexts = {{0, kInterface, {NDR20_TRANSFER_SYNTAX}}, {1, kInterface, {NDR64_TRANSFER_SYNTAX}}};
  const auto pdu = EncodeBind(9, bind);
  ASSERT_EQ(pdu.size(), 16u + 12 + 2 * (4 + 20 + 20));
  Header h;
  ASSERT_EQ(DecodeHeader(pdu.data(), &h), HeaderCheck::kOk);
  EXPECT_EQ(h.type, kBind);
  EXPECT_EQ(h.flags, PFC_FIRST_FRAG | PFC_LAST_FRAG);
  EXPECT_EQ(h.fragLength, pdu.size());
  EXPECT_EQ(h.callId, 9u);
  Bind back;
  ASSERT_TRUE(DecodeBind(pdu.data(), pdu.size(), h, &back));
  EXPECT_EQ(back.assocGroupId, 0x1234u);
  ASSERT_EQ(back.contexts.size(), 2u);
  EXPECT_EQ(back.contexts[1].id, 1);
  EXPECT_TRUE(back.contexts[1].transferSyntaxes[0].SyntaxGUID == NDR64_TRANSFER_SYNTAX.SyntaxGUID);
  EXPECT_TRUE(back.contexts[0].abstractSyntax.SyntaxGUID == kInterface.SyntaxGUID);

  BindAck ack;
  ack.assocGroupId = 77;
  ack.secondaryAddress = "x";
  ack.results = {{kResultAcceptance, 0, NDR20_TRANSFER_SYNTAX}, {kResultProviderRejection, 2, {}}};
  const auto ackPdu = EncodeBindAck(9, ack);
  ASSERT_EQ(DecodeHeader(ackPdu.data(), &h), HeaderCheck::kOk);
  BindAck ackBack;
  ASSERT_TRUE(DecodeBindAck(ackPdu.data(), ackPdu.size(), h, &ackBack));
  EXPECT_EQ(ackBack.assocGroupId, 77u);
  EXPECT_EQ(ackBack.secondaryAddress, "x");
  ASSERT_EQ(ackBack.results.size(), 2u);
  EXPECT_EQ(ackBack.results[1].reason, 2);

  // Every cut of a valid PDU is refused, never read past.
  for (std::size_t n = kHeaderSize; n < pdu.size(); ++n) {
    EXPECT_FALSE(DecodeBind(pdu.data(), n, h, &back)) << n;
  }
}

TEST_F(RpcWireTest, HeaderChecks) {
  auto pdu = EncodeFault(3, 0, nca_s_op_rng_error, true);
  Header h;
  ASSERT_EQ(DecodeHeader(pdu.data(), &h), HeaderCheck::kOk);
  EXPECT_TRUE(h.flags & PFC_DID_NOT_EXECUTE);
  std::uint32_t status = 0;
  ASSERT_TRUE(DecodeFault(pdu.data(), pdu.size(), h, &status));
  EXPECT_EQ(StatusFromFault(status), RPC_S_PROCNUM_OUT_OF_RANGE);

  auto bad = pdu;
  bad[0] = 4;
  EXPECT_EQ(DecodeHeader(bad.data(), &h), HeaderCheck::kBadVersion);
  bad = pdu;
  bad[8] = 15;  // shorter than the header
  bad[9] = 0;
  EXPECT_EQ(DecodeHeader(bad.data(), &h), HeaderCheck::kBadFormat);
  bad = pdu;
  bad[10] = 16;  // authentication trailer
  EXPECT_EQ(DecodeHeader(bad.data(), &h), HeaderCheck::kBadFormat);
  bad = pdu;
  bad[4] = 0x20;  // no such integer representation
  EXPECT_EQ(DecodeHeader(bad.data(), &h), HeaderCheck::kBadFormat);

  // Big-endian senders are read as such.
  bad = pdu;
  bad[4] = 0x00;
  std::swap(bad[8], bad[9]);
  std::swap(bad[12], bad[15]);
  std::swap(bad[13], bad[14]);
  ASSERT_EQ(DecodeHeader(bad.data(), &h), HeaderCheck::kOk);
  EXPECT_FALSE(h.littleEndian);
  EXPECT_EQ(h.fragLength, pdu.size());
  EXPECT_EQ(h.callId, 3u);
}

TEST_F(RpcWireTest, LargeStubDataIsFragmented) {
  std::vector<std::uint8_t> stub(10000);
  for (std::size_t i = 0; i < stub.size(); ++i) stub[i] = static_cast<std::uint8_t>(i * 7);
  const auto fragments = EncodeResponse(5, 1, stub, kMinFragment);
  ASSERT_GT(fragments.size(), 6u);
  std::vector<std::uint8_t> joined;
  for (std::size_t i = 0; i < fragments.size(); ++i) {
    Header h;
    ASSERT_EQ(DecodeHeader(fragments[i].data(), &h), HeaderCheck::kOk);
    EXPECT_LE(h.fragLength, kMinFragment);
    EXPECT_EQ((h.flags & PFC_FIRST_FRAG) != 0, i == 0);
    EXPECT_EQ((h.flags & PFC_LAST_FRAG) != 0, i + 1 == fragments.size());
    CallFragment f;
    ASSERT_TRUE(DecodeResponse(fragments[i].data(), fragments[i].size(), h, &f));
    EXPECT_EQ(f.contextId, 1);
    EXPECT_EQ(f.allocHint, stub.size() - joined.size());
    joined.insert(joined.end(), f.stub, f.stub + f.stubSize);
  }
  EXPECT_EQ(joined, stub);
  // An empty request is still one fragment, first and last.
  const auto empty = EncodeRequest(6, 0, 3, {}, kDefaultFragment);
  ASSERT_EQ(empty.size(), 1u);
  Header h;
  ASSERT_EQ(DecodeHeader(empty[0].data(), &h), HeaderCheck::kOk);
  CallFragment f;
  ASSERT_TRUE(DecodeRequest(empty[0].data(), empty[0].size(), h, &f));
  EXPECT_EQ(f.opnum, 3);
  EXPECT_EQ(f.stubSize, 0u);
}

TEST_F(RpcWireTest, ReaderStopsAtItsEnd) {
  const std::uint8_t bytes[] = {1, 0, 0, 0, 2, 0};
  Reader r(bytes, sizeof(bytes), true);
  std::uint32_t a = 0, b = 0;
  EXPECT_TRUE(r.U32(&a));
  EXPECT_EQ(a, 1u);
  EXPECT_FALSE(r.U32(&b));
  EXPECT_FALSE(r.ok());
  std::uint16_t c = 0;
  EXPECT_FALSE(r.U16(&c));  // stays failed
  Reader big(bytes, sizeof(bytes), false);
  EXPECT_TRUE(big.U32(&a));
  EXPECT_EQ(a, 0x01000000u);
  EXPECT_TRUE(big.Align(4));
  EXPECT_FALSE(big.Skip(3));
}

}  // namespace
}  // namespace platform::rpc::wire
