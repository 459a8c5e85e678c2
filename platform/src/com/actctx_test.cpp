// Activation contexts: what CreateActCtx refuses and why, and how a thread's stack of
// activations decides which side-by-side classes CoCreateInstance creates.
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/com.h"
#include "platform/fs.h"
#include "platform/testing/machine_test.h"
#include "platform/version.h"

namespace platform {
namespace {

// {5D1B3C2A-0000-4000-8000-00000000AC7C}
constexpr CLSID kClass = {0x5D1B3C2A, 0x0000, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0xAC, 0x7C}};

class Thing final : public ComObject<IUnknown> {};

constexpr const wchar_t* kDir = L"C:\\Program Files\\Korvo\\App";

// An assembly "Korvo.Test" that offers kClass, written as manifests in the wild are:
// the default namespace and a prefixed one.
const std::string kAssembly = R"(<?xml version="1.0" encoding="UTF-8"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" xmlns:asmv3="urn:schemas-microsoft-com:asm.v3" manifestVersion="1.0">
  <assemblyIdentity name="Korvo.Test" version="1.0.0.0" type="win32"/>
  <asmv3:file name="KorvoTest.dll"><asmv3:comClass clsid="{5d1b3c2a-0000-4000-8000-00000000ac7c}" threadingModel="Both"/></asmv3:file>
</assembly>)";

std::string App(const std::string& dependency, const std::string& version = "1.0.0.0") {
  return R"(<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity name="App" version="2.0.0.0" type="win32"/>
  <dependency><dependentAssembly><assemblyIdentity name=")" +
         dependency + R"(" version=")" + version + R"(" processorArchitecture="*"/></dependentAssembly></dependency>
</assembly>)";
}

class ActCtxTest : public testing::ComMachineTest {
 protected:
  void SetUp() override {
    ComMachineTest::SetUp();
    Write(L"Korvo.Test.manifest", kAssembly);
    Write(L"app.manifest", App("Korvo.Test"));
    com::RegisterSideBySideClass(L"Korvo.Test", kClass,
                                 [](REFIID riid, void** object) { return CreateComObject<Thing>(riid, object); });
  }
  void Write(const std::wstring& name, const std::string& text) {
    testing::WriteHostFile(Host(std::wstring(kDir) + L"\\" + name), text);
  }

  // The context of `source` in kDir, or INVALID_HANDLE_VALUE with the error in `error`.
  static HANDLE Create(const wchar_t* source, DWORD* error = nullptr, DWORD flags = 0, const wchar_t* dir = kDir) {
    ACTCTXW request{};
    request.cbSize = sizeof request;
    request.dwFlags = flags | (dir != nullptr ? ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID : 0);
    request.lpSource = source;
    request.lpAssemblyDirectory = dir;
    SetLastError(0);
    HANDLE context = CreateActCtx(&request);
    if (error != nullptr) *error = GetLastError();
    return context;
  }

  static HRESULT CreateThing() {
    ComPtr<IUnknown> thing;
    return CoCreateInstance(kClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                            reinterpret_cast<LPVOID*>(thing.GetAddressOf()));
  }
};

TEST_F(ActCtxTest, CreateActCtxSaysWhatIsWrong) {
  DWORD error = 0;
  EXPECT_EQ(Create(L"none.manifest", &error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  Write(L"broken.manifest", "<assembly><assemblyIdentity name=\"X\" version=\"1.0.0.0\"/>");
  EXPECT_EQ(Create(L"broken.manifest", &error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_SXS_MANIFEST_PARSE_ERROR);
  Write(L"anonymous.manifest", "<assembly><file name=\"x.dll\"/></assembly>");
  EXPECT_EQ(Create(L"anonymous.manifest", &error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_SXS_MANIFEST_PARSE_ERROR) << "no assembly identity";
  Write(L"lonely.manifest", App("Korvo.Missing"));
  EXPECT_EQ(Create(L"lonely.manifest", &error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_SXS_CANT_GEN_ACTCTX);
  Write(L"old.manifest", App("Korvo.Test", "0.9.0.0"));
  EXPECT_EQ(Create(L"old.manifest", &error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_SXS_CANT_GEN_ACTCTX) << "the assembly found has another version";
  ACTCTXW small{};
  small.cbSize = sizeof small - 1;
  small.lpSource = L"app.manifest";
  EXPECT_EQ(CreateActCtx(&small), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // A full path without an assembly directory finds its dependencies beside it, also in
  // a folder named after the assembly.
  std::filesystem::remove(Host(std::wstring(kDir) + L"\\Korvo.Test.manifest"));
  Write(L"Korvo.Test\\Korvo.Test.manifest", kAssembly);
  HANDLE context = Create((std::wstring(kDir) + L"\\APP.manifest").c_str(), &error, 0, nullptr);
  ASSERT_NE(context, INVALID_HANDLE_VALUE) << error;
  ReleaseActCtx(context);
}

TEST_F(ActCtxTest, ASideBySideClassIsCreatableOnlyWhileItsContextIsActiveOnThatThread) {
  EXPECT_EQ(CreateThing(), REGDB_E_CLASSNOTREG);
  HANDLE context = Create(L"app.manifest");
  ASSERT_NE(context, INVALID_HANDLE_VALUE);
  ULONG_PTR cookie = 0;
  ASSERT_TRUE(ActivateActCtx(context, &cookie));
  EXPECT_NE(cookie, 0u);
  EXPECT_EQ(CreateThing(), S_OK);
  std::thread([] { EXPECT_EQ(CreateThing(), REGDB_E_CLASSNOTREG) << "another thread has its own stack"; }).join();
  // Released while active: the activation keeps it until it is popped.
  ReleaseActCtx(context);
  EXPECT_EQ(CreateThing(), S_OK);
  EXPECT_TRUE(DeactivateActCtx(0, cookie));
  EXPECT_EQ(CreateThing(), REGDB_E_CLASSNOTREG);
  EXPECT_FALSE(ActivateActCtx(context, &cookie)) << "the handle is gone";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  // A context that reaches the assembly, whose manifest does not list the class.
  Write(L"Korvo.Test.manifest",
        "<assembly><assemblyIdentity name=\"Korvo.Test\" version=\"1.0.0.0\"/><file name=\"x.dll\"/></assembly>");
  context = Create(L"app.manifest");
  ASSERT_TRUE(ActivateActCtx(context, &cookie));
  EXPECT_EQ(CreateThing(), REGDB_E_CLASSNOTREG);
  EXPECT_TRUE(DeactivateActCtx(0, cookie));
  ReleaseActCtx(context);
}

TEST_F(ActCtxTest, OnlyTheTopOfTheStackCountsAndItIsPoppedFirst) {
  HANDLE app = Create(L"app.manifest");
  Write(L"other.manifest", "<assembly><assemblyIdentity name=\"Other\" version=\"1.0.0.0\"/></assembly>");
  HANDLE other = Create(L"other.manifest");
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  ULONG_PTR outer = 0, inner = 0, none = 0;
  ASSERT_TRUE(ActivateActCtx(app, &outer));
  ASSERT_TRUE(ActivateActCtx(other, &inner));
  EXPECT_NE(outer, inner);
  EXPECT_EQ(CreateThing(), REGDB_E_CLASSNOTREG) << "the inner context does not reach the assembly";

  EXPECT_FALSE(DeactivateActCtx(0, outer));
  EXPECT_EQ(GetLastError(), ERROR_SXS_INVALID_DEACTIVATION);
  EXPECT_TRUE(DeactivateActCtx(0, inner));
  EXPECT_EQ(CreateThing(), S_OK);
  ASSERT_TRUE(ActivateActCtx(nullptr, &none)) << "no context at all";
  EXPECT_EQ(CreateThing(), REGDB_E_CLASSNOTREG);
  EXPECT_TRUE(DeactivateActCtx(0, none));
  EXPECT_TRUE(DeactivateActCtx(0, outer));
  EXPECT_FALSE(DeactivateActCtx(0, outer));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "a cookie of no activation";

  // A new machine starts with empty stacks.
  ASSERT_TRUE(ActivateActCtx(app, &outer));
  ReopenMachine();
  EXPECT_FALSE(DeactivateActCtx(0, outer));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ReleaseActCtx(app);
  ReleaseActCtx(other);
}

// The running program carries an application manifest (test_program.manifest) that
// depends on Korvo.Test.
TEST_F(ActCtxTest, AContextFromTheProgramsManifestResource) {
  wchar_t program[4096];
  ASSERT_GT(GetModuleFileName(nullptr, program, std::size(program)), 0u);
  HANDLE context = Create(program, nullptr, ACTCTX_FLAG_RESOURCE_NAME_VALID);
  ASSERT_NE(context, INVALID_HANDLE_VALUE) << GetLastError();
  ULONG_PTR cookie = 0;
  ASSERT_TRUE(ActivateActCtx(context, &cookie));
  EXPECT_EQ(CreateThing(), S_OK);
  EXPECT_TRUE(DeactivateActCtx(0, cookie));
  ReleaseActCtx(context);
}

}  // namespace
}  // namespace platform
