#include "service/bridge/app_activation_handler.h"

#include <gtest/gtest.h>

#include "platform/sessions.h"
#include "platform/sync.h"
#include "service/sysinfo/testing/sysinfo_test_support.h"

namespace RpcServer::AppSection {
namespace {

using Korvo::Shared::LogLevel;

class AppActivationHandlerTest : public RpcServer::testing::SysInfoTest {};

TEST_F(AppActivationHandlerTest, CreateDeleteCreateWritesTheTracePairsInOrder) {
  delete new CAppActivationHandler();
  auto* second = new CAppActivationHandler();
  const std::string ctor = "RpcServer::AppSection::CAppActivationHandler::CAppActivationHandler";
  const std::string dtor = "RpcServer::AppSection::CAppActivationHandler::~CAppActivationHandler";
  const std::string remove = "RpcServer::AppSection::CAppActivationHandler::RemoveImpersonation";
  std::vector<std::pair<int, std::string>> seen;
  for (const auto& line : Lines()) seen.emplace_back(line.level, line.function);
  const std::vector<std::pair<int, std::string>> expected = {
      {LogLevel::TraceIn, ctor},    {LogLevel::TraceOut, ctor}, {LogLevel::TraceIn, dtor}, {LogLevel::TraceIn, remove},
      {LogLevel::TraceOut, remove}, {LogLevel::TraceOut, dtor}, {LogLevel::TraceIn, ctor}, {LogLevel::TraceOut, ctor},
  };
  EXPECT_EQ(seen, expected);
  delete second;
}

TEST_F(AppActivationHandlerTest, DestroyingItEndsImpersonationOnlyWhereThereIsSome) {
  // A thread that does not impersonate has no thread token before and after.
  platform::HANDLE token = nullptr;
  delete new CAppActivationHandler();
  EXPECT_FALSE(platform::OpenThreadToken(platform::GetCurrentThread(), platform::TOKEN_QUERY, platform::TRUE, &token));
  EXPECT_EQ(platform::GetLastError(), platform::ERROR_NO_TOKEN);

  // One that impersonates runs as itself again.
  platform::HANDLE process = nullptr;
  ASSERT_TRUE(platform::OpenProcessToken(platform::GetCurrentProcess(), platform::TOKEN_ALL_ACCESS, &process));
  platform::HANDLE impersonation = nullptr;
  ASSERT_TRUE(platform::DuplicateTokenEx(process, platform::TOKEN_ALL_ACCESS, nullptr, platform::SecurityImpersonation,
                                         platform::TokenImpersonation, &impersonation));
  ASSERT_TRUE(platform::ImpersonateLoggedOnUser(impersonation));
  ASSERT_TRUE(platform::OpenThreadToken(platform::GetCurrentThread(), platform::TOKEN_QUERY, platform::TRUE, &token));
  platform::CloseHandle(token);
  delete new CAppActivationHandler();
  EXPECT_FALSE(platform::OpenThreadToken(platform::GetCurrentThread(), platform::TOKEN_QUERY, platform::TRUE, &token));
  platform::CloseHandle(impersonation);
  platform::CloseHandle(process);
}

}  // namespace
}  // namespace RpcServer::AppSection
