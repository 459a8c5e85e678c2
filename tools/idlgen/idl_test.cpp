#include "tools/idlgen/idl.h"

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/testing/machine_test.h"

namespace idlgen {
namespace {

class IdlGenTest : public platform::testing::MachineTest {
 protected:
  static std::string VeskIdl() {
    std::ifstream in(KORVO_VESK_IDL);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // The error of a definition that must be refused.
  static std::string Refusal(const std::string& text) {
    auto r = Parse(text, "t.idl");
    EXPECT_FALSE(r.interface.has_value());
    return r.error;
  }
  static std::string Wrap(const std::string& body) {
    return "[\n uuid(12345678-1234-1234-1234-123456789abc),\n version(1.0)\n]\ninterface T\n{\n" + body + "\n}\n";
  }
};

TEST_F(IdlGenTest, ParsesTheInterfaceOfTheService) {
  auto r = Parse(VeskIdl(), "vesk.idl");
  ASSERT_TRUE(r.interface) << r.error;
  const Interface& itf = *r.interface;
  EXPECT_EQ(itf.uuid, "82620ac0-3274-4534-984a-001b0be6fcad");
  EXPECT_EQ(itf.major, 1u);
  EXPECT_EQ(itf.minor, 0u);
  ASSERT_EQ(itf.contextTypes.size(), 1u);
  EXPECT_EQ(itf.contextTypes[0].name, "ClientContextHandle");
  EXPECT_TRUE(itf.contextTypes[0].noSerialize);
  const char* names[] = {"OpenClientContext", "CloseClientContext",      "StartMSInfoApp",     "StartUSBC",
                         "ReadSysInfo",       "IsMeridServiceInstalled", "IsMeridNodePresent", "ReadUSBTypeCInfo"};
  ASSERT_EQ(itf.procedures.size(), 8u);
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(itf.procedures[i].name, names[i]);
  EXPECT_EQ(itf.procedures[0].params[0].kind, ParamKind::BindingHandle);
  EXPECT_EQ(itf.procedures[0].params[1].kind, ParamKind::ContextOut);
  EXPECT_EQ(itf.procedures[1].params[0].kind, ParamKind::ContextInOut);
  EXPECT_EQ(itf.procedures[2].params[0].kind, ParamKind::ContextIn);
  EXPECT_TRUE(itf.procedures[5].returnsLong);
  EXPECT_FALSE(itf.procedures[4].returnsLong);
  const auto& read = itf.procedures[7].params;
  ASSERT_EQ(read.size(), 3u);
  EXPECT_EQ(read[1].kind, ParamKind::LongOut);
  EXPECT_EQ(read[2].kind, ParamKind::WideArrayOut);
  EXPECT_EQ(read[2].sizeParam, 1);
  EXPECT_EQ(read[2].name, "pUsbTypeCData");
}

TEST_F(IdlGenTest, EmitsTablesForBothHalves) {
  auto r = Parse(VeskIdl(), "vesk.idl");
  ASSERT_TRUE(r.interface) << r.error;
  auto files = Emit(*r.interface, {"vesk", "RpcServer"});
  ASSERT_EQ(files.size(), 5u);
  std::map<std::string, std::string> byName;
  for (auto& f : files) byName[f.name] = f.text;
  EXPECT_NE(byName["vesk_contract.cpp"].find("{0x82620ac0, 0x3274, 0x4534, {0x98, 0x4a, 0x00, 0x1b"),
            std::string::npos);
  EXPECT_NE(byName["vesk_contract.cpp"].find("{NdrParamKind::WideArrayOut, 1, \"pSysData\"}"), std::string::npos);
  EXPECT_NE(byName["vesk.h"].find("void ReadSysInfo(ClientContextHandle phContext, ::platform::LONG* pSize, "
                                  "char16_t** pSysData);"),
            std::string::npos);
  EXPECT_NE(byName["vesk_server.h"].find("namespace RpcServer {"), std::string::npos);
  EXPECT_NE(byName["vesk_server.h"].find("void ClientContextHandle_rundown(ClientContextHandle context);"),
            std::string::npos);
  EXPECT_NE(byName["vesk_server.cpp"].find("*result = ::RpcServer::IsMeridNodePresent("), std::string::npos);
  EXPECT_NE(byName["vesk_client.cpp"].find("NdrClientCall(&VeskRpc_v1_0_client, 7, args, nullptr)"), std::string::npos);
}

TEST_F(IdlGenTest, RefusesWhatItDoesNotUnderstandWithTheLine) {
  EXPECT_EQ(Refusal("[uuid(1234), version(1.0)] interface T { void F([in] handle_t h); }"),
            "t.idl:1: malformed uuid '1234'");
  EXPECT_EQ(Refusal("[\nuuid(12345678-1234-1234-1234-123456789abc),\n endpoint(\"x\")\n] interface T {}"),
            "t.idl:3: unexpected character '\"'");
  EXPECT_EQ(Refusal("[uuid(12345678-1234-1234-1234-123456789abc)]\ninterface T { void F([in] handle_t h); }"),
            "t.idl:2: the interface has no version");
  EXPECT_EQ(Refusal(Wrap("import \"x.idl\";")), "t.idl:7: unexpected character '\"'");
  EXPECT_EQ(Refusal(Wrap("typedef struct { long a; } S;")), "t.idl:7: expected '[', found 'struct'");
  EXPECT_EQ(Refusal(Wrap("typedef [string] void* S;")), "t.idl:7: unsupported type attribute 'string'");
  EXPECT_EQ(Refusal(Wrap("void F(\n [in] handle_t h,\n [in] double d);")), "t.idl:9: unsupported type 'double'");
  EXPECT_EQ(Refusal(Wrap("void F(\n [in] handle_t h,\n [in, unique] long* p);")),
            "t.idl:9: unsupported parameter attribute 'unique'");
  EXPECT_EQ(Refusal(Wrap("void F(\n [in] handle_t h,\n [in] long* p);")),
            "t.idl:9: unsupported parameter shape for 'p' (type long*)");
  EXPECT_EQ(Refusal(Wrap("void F(\n [in] long x);")),
            "t.idl:7: procedure 'F' must take a binding handle or an [in] context handle first");
  EXPECT_EQ(Refusal(Wrap("void F(\n [in] handle_t h,\n [out] wchar_t** p);")), "t.idl:9: 'p' needs size_is(, *count)");
  EXPECT_EQ(Refusal(Wrap("void F(\n [in] handle_t h,\n [out, size_is(, *n)] wchar_t** p);")),
            "t.idl:9: the count 'n' is not an earlier parameter");
  EXPECT_EQ(Refusal(Wrap("void F([in] handle_t h);\nvoid F([in] handle_t h);")), "t.idl:8: 'F' is defined twice");
  EXPECT_EQ(Refusal(Wrap("float F([in] handle_t h);")), "t.idl:7: unsupported return type 'float' (void or long)");
  EXPECT_EQ(Refusal(Wrap("void F([in] handle_t h) /* open")), "t.idl:7: unterminated comment");
  EXPECT_EQ(Refusal(Wrap("void F([in] handle_t h);") + "interface U {}"),
            "t.idl:9: only one interface per file is supported");
  EXPECT_EQ(Refusal(Wrap("void F([in] handle_t h) @")), "t.idl:7: unexpected character '@'");
  EXPECT_EQ(Refusal(Wrap("")), "t.idl:8: the interface has no procedures");
}

}  // namespace
}  // namespace idlgen
