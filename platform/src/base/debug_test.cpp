#include "platform/debug.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/testing/machine_test.h"

namespace platform {
namespace {

using ::testing::ElementsAre;

class DebugOutputTest : public testing::MachineTest {};

TEST_F(DebugOutputTest, BothFormsReachTheMachinesDebugSink) {
  OutputDebugString(L"KorvoSYS wide \u00e9");
  OutputDebugStringA("KorvoSYS narrow \xC3\xA9");
  OutputDebugString(nullptr);  // ignored, as the original does
  EXPECT_THAT(machine().CapturedDebugOutput(), ElementsAre(L"KorvoSYS wide \u00e9", L"KorvoSYS narrow \u00e9"));
}

TEST(DebugOutputFileTest, AnUncapturedMachineAppendsLinesToDebugLog) {
  testing::TempDir dir;
  Machine::Options options;
  options.root = dir.path();
  auto previous = SelectMachine(Machine::Open(std::move(options)));
  OutputDebugString(L"first");
  OutputDebugString(L"second\n");
  SelectMachine(previous);
  EXPECT_EQ(testing::ReadHostFile(dir.path() / "debug.log"), "first\nsecond\n");
}

}  // namespace
}  // namespace platform
