// The manifests copied beside the service program make the modern firmware component
// of the default machine creatable, as the service will use them.
#include <string>

#include <gtest/gtest.h>

#include "platform/com.h"
#include "platform/firmware.h"
#include "platform/fs.h"
#include "platform/testing/machine_test.h"

namespace {

using namespace platform;

class ServiceManifestsTest : public platform::testing::ComMachineTest {
 protected:
  static HRESULT CreateModern(ComPtr<IMeridSdkVantorCommand>& modern) {
    ComPtr<IUnknown> unknown;
    HRESULT hr = CoCreateInstance(CLSID_MeridSdkVantorCommand, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                  reinterpret_cast<LPVOID*>(unknown.GetAddressOf()));
    if (SUCCEEDED(hr)) hr = OleRun(unknown.Get());
    return SUCCEEDED(hr) ? unknown.As(modern) : hr;
  }
};

TEST_F(ServiceManifestsTest, EachManifestReachesTheModernComponent) {
  const std::wstring folder = MapFromHost(KORVO_SERVICE_BIN_DIR);
  ComPtr<IMeridSdkVantorCommand> modern;
  EXPECT_EQ(CreateModern(modern), REGDB_E_CLASSNOTREG) << "the default machine registers it side by side";

  for (const wchar_t* source : {L"Varnel.exe.manifest", L"Varnel_amd64.xml", L"KorvoMeridManager.manifest"}) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(source)));
    ACTCTXW request{};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID;
    request.lpSource = source;
    request.lpAssemblyDirectory = folder.c_str();
    HANDLE context = CreateActCtx(&request);
    ASSERT_NE(context, INVALID_HANDLE_VALUE) << GetLastError();
    ULONG_PTR cookie = 0;
    ASSERT_TRUE(ActivateActCtx(context, &cookie));
    ASSERT_EQ(CreateModern(modern), S_OK);
    VARIANT_BOOL supported = VARIANT_FALSE;
    EXPECT_EQ(modern->GetSingleScanCodeSupported(&supported), S_OK);
    EXPECT_EQ(supported, VARIANT_TRUE);
    EXPECT_TRUE(DeactivateActCtx(0, cookie));
    ReleaseActCtx(context);
  }
}

}  // namespace
