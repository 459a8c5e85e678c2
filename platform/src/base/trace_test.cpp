// Tracing of platform calls: which areas KORVO_TRACE names, and what a traced call
// writes (its result and the last error it leaves, which tracing must not change).
#include "platform/src/base/trace.h"

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/testing/machine_test.h"

namespace platform::base::detail {
namespace {

TEST(TraceAreasTest, NamesCommasAndAllAreUnderstoodAndUnknownNamesCollected) {
  std::string unknown;
  EXPECT_EQ(ParseTraceAreas(nullptr, &unknown), 0u);
  EXPECT_EQ(ParseTraceAreas("", &unknown), 0u);
  EXPECT_EQ(ParseTraceAreas("scm,reg", &unknown), kTraceScm | kTraceReg);
  EXPECT_EQ(ParseTraceAreas(" rpc , ,fs", &unknown), kTraceRpc | kTraceFs);
  EXPECT_TRUE(unknown.empty());
  const std::uint32_t all = ParseTraceAreas("all", &unknown);
  for (std::uint32_t area : {kTraceScm, kTraceReg, kTraceRpc, kTraceEventlog, kTraceSessions, kTraceSync, kTraceFs,
                             kTraceCom, kTraceDevices, kTraceVersion, kTraceSecurity}) {
    EXPECT_NE(all & area, 0u) << area;
  }
  EXPECT_EQ(ParseTraceAreas("registry,scm,wmi", &unknown), kTraceScm);
  EXPECT_EQ(unknown, "registry,wmi");
}

class TraceOutputTest : public testing::MachineTest {};

TEST_F(TraceOutputTest, ATracedCallWritesItsResultAndKeepsTheLastError) {
  WriteTrace(kTraceReg, "RegOpenKeyEx", TraceResult(2L), 0);
  WriteTrace(kTraceScm, "StartService", TraceResult(false), 1056);
  WriteTrace(kTraceCom, "CoCreateInstance", TraceResult(static_cast<long>(0x80040154u - 0x100000000ll)), 0);
  EXPECT_THAT(machine().CapturedDebugOutput(),
              ::testing::ElementsAre(L"trace reg RegOpenKeyEx -> 2 (last error 0)\n",
                                     L"trace scm StartService -> false (last error 1056)\n",
                                     L"trace com CoCreateInstance -> -2147221164 (0x80040154) (last error 0)\n"));
  // Whether the area is traced or not, the body runs once and the last error survives.
  int runs = 0;
  const int result = Traced<int>(kTraceReg, "Body", [&] {
    ++runs;
    SetLastError(87);
    return 5;
  });
  EXPECT_EQ(result, 5);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(GetLastError(), 87u);
}

}  // namespace
}  // namespace platform::base::detail
