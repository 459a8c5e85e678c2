#include "service/logging/korvo_log_config.h"

#include <gtest/gtest.h>

#include "service/logging/testing/log_test_support.h"

namespace Korvo::Shared {
namespace {

using testing::kProductKey;
using testing::kProgramKey;

class LogPolicyTest : public testing::LoggingTest {};

TEST_F(LogPolicyTest, ProgramIdentityComesFromTheProgramsOwnFile) {
  EXPECT_EQ(GetProgramBaseName(), L"Varnel");
  EXPECT_EQ(GetProgramProductName(), L"Korvo Tallisk");

  // Only the second language block has a name: it is used.
  InstallProgram(L"C:\\Tools\\vesk.tool.exe", "Korvo Tools", "1.0.0.0", "040904B0");
  EXPECT_EQ(GetProgramBaseName(), L"vesk.tool");
  EXPECT_EQ(GetProgramProductName(), L"Korvo Tools");
}

TEST_F(LogPolicyTest, KeysAreOpenedOnlyWhenPresent) {
  {
    CLogPolicyKeys keys;
    EXPECT_FALSE(keys.HasProductKey());
    EXPECT_FALSE(keys.HasProgramKey());
    EXPECT_EQ(keys.ReadMaxLogSizeKB(), kDefaultMaxLogSizeKB);
    EXPECT_FALSE(keys.ReadQueuedWrites().has_value());
    EXPECT_FALSE(keys.ReadLoggingType().has_value());
  }
  SetDword(kProductKey, L"MaxLogSize", 64);
  CLogPolicyKeys keys;
  EXPECT_TRUE(keys.HasProductKey());
  EXPECT_FALSE(keys.HasProgramKey());
  EXPECT_EQ(keys.ReadMaxLogSizeKB(), 64);
}

TEST_F(LogPolicyTest, MaxLogSizeSkipsZeroAndValuesOfTheWrongType) {
  SetDword(kProductKey, L"MaxLogSize", 300);
  SetDword(kProgramKey, L"MaxLogSize", 0);
  EXPECT_EQ(CLogPolicyKeys().ReadMaxLogSizeKB(), 300);
  SetDword(kProgramKey, L"MaxLogSize", 5);
  EXPECT_EQ(CLogPolicyKeys().ReadMaxLogSizeKB(), 5);
  SetString(kProgramKey, L"MaxLogSize", L"9");
  EXPECT_EQ(CLogPolicyKeys().ReadMaxLogSizeKB(), 300);
  SetDword(kProgramKey, L"MaxLogSize", 0xFFFFFFFF);  // negative as a size: kept, never rotates
  EXPECT_EQ(CLogPolicyKeys().ReadMaxLogSizeKB(), -1);
}

TEST_F(LogPolicyTest, QueuedWritesOfTheProgramKeyWinsEvenWhenZero) {
  SetDword(kProductKey, L"QueuedWrites", 1);
  EXPECT_EQ(CLogPolicyKeys().ReadQueuedWrites(), true);
  SetDword(kProgramKey, L"QueuedWrites", 0);
  EXPECT_EQ(CLogPolicyKeys().ReadQueuedWrites(), false);
}

}  // namespace
}  // namespace Korvo::Shared
