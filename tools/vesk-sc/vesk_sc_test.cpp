// vesk-sc's verbs in-process on the fixture's machine: what each prints, its exit code
// and its usage errors. What needs a running service is in vesk_sc_e2e_test.cpp.
#include "tools/vesk-sc/vesk_sc.h"

#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "platform/scm.h"
#include "platform/scm_testing.h"
#include "platform/testing/machine_test.h"

namespace tools::vesk_sc {
namespace {

using platform::testing::ReadHostFile;
using platform::testing::WriteHostFile;

struct Result {
  int exitCode;
  std::string out;
  std::string err;
};

// The header of `list`, and the service the default machine declares, in every listing.
const std::string kListHeader = "SERVICE_NAME             STATE                 PID  DISPLAY_NAME\n";
const std::string kDeclared = "KorvoSysInfoCap          RUNNING           8389000  Korvo System Info Kesa Service\n";

class VeskScVerbsTest : public platform::testing::MachineTest {
 protected:
  Result Sc(std::vector<std::string_view> args) {
    std::ostringstream out, err;
    const int code = vesk_sc::Run(args, out, err);
    return {code, out.str(), err.str()};
  }
};

TEST_F(VeskScVerbsTest, CreateThenQueryEveryPartOfTheConfiguration) {
  const auto create =
      Sc({"create", "Demo", "binPath=", "/bin/true --x", "DisplayName=", "Demo Svc", "start=", "auto", "depend=", "A/B",
          "obj=", "LocalSystem", "group=", "G", "error=", "severe", "type=", "share"});
  ASSERT_EQ(create.exitCode, 0) << create.err;
  EXPECT_EQ(create.out, "[SC] CreateService SUCCESS\n");
  EXPECT_EQ(create.err, "");

  const auto qc = Sc({"qc", "Demo"});
  EXPECT_EQ(qc.exitCode, 0);
  EXPECT_EQ(qc.out,
            "[SC] QueryServiceConfig SUCCESS\n\n"
            "SERVICE_NAME: Demo\n"
            "        TYPE               : 20  WIN32_SHARE_PROCESS\n"
            "        START_TYPE         : 2   AUTO_START\n"
            "        ERROR_CONTROL      : 2   SEVERE\n"
            "        BINARY_PATH_NAME   : /bin/true --x\n"
            "        LOAD_ORDER_GROUP   : G\n"
            "        TAG                : 0\n"
            "        DISPLAY_NAME       : Demo Svc\n"
            "        DEPENDENCIES       : A\n"
            "                           : B\n"
            "        SERVICE_START_NAME : LocalSystem\n");

  const std::string status =
      "\nSERVICE_NAME: Demo\n"
      "        TYPE               : 20  WIN32_SHARE_PROCESS\n"
      "        STATE              : 1  STOPPED\n"
      "                                (NOT_STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)\n"
      "        WIN32_EXIT_CODE    : 0  (0x0)\n"
      "        SERVICE_EXIT_CODE  : 0  (0x0)\n"
      "        CHECKPOINT         : 0x0\n"
      "        WAIT_HINT          : 0x0\n";
  EXPECT_EQ(Sc({"query", "Demo"}).out, status);
  EXPECT_EQ(Sc({"queryex", "Demo"}).out, status +
                                             "        PID                : 0\n"
                                             "        FLAGS              : \n");
  EXPECT_EQ(Sc({"list"}).out,
            kListHeader + "Demo                     STOPPED                 0  Demo Svc\n" + kDeclared);
}

TEST_F(VeskScVerbsTest, FailureActionsFlagAndDescriptionRoundTrip) {
  ASSERT_EQ(Sc({"create", "Demo", "binPath=", "/bin/true"}).exitCode, 0);
  EXPECT_EQ(Sc({"qfailure", "Demo"}).out,
            "[SC] QueryServiceConfig2 SUCCESS\n\nSERVICE_NAME: Demo\n"
            "        RESET_PERIOD (in seconds)    : 0\n"
            "        REBOOT_MESSAGE               : \n"
            "        COMMAND_LINE                 : \n");

  const auto failure = Sc({"failure", "Demo", "reset=", "86400", "actions=", "restart/1000/run/0x10/reboot/5/none/0",
                           "reboot=", "msg", "command=cmd x"});
  ASSERT_EQ(failure.exitCode, 0) << failure.err;
  EXPECT_EQ(failure.out, "[SC] ChangeServiceConfig2 SUCCESS\n");
  EXPECT_EQ(Sc({"qfailure", "Demo"}).out,
            "[SC] QueryServiceConfig2 SUCCESS\n\nSERVICE_NAME: Demo\n"
            "        RESET_PERIOD (in seconds)    : 86400\n"
            "        REBOOT_MESSAGE               : msg\n"
            "        COMMAND_LINE                 : cmd x\n"
            "        FAILURE_ACTIONS              : RESTART -- Delay = 1000 milliseconds.\n"
            "                                       RUN PROCESS -- Delay = 16 milliseconds.\n"
            "                                       REBOOT -- Delay = 5 milliseconds.\n"
            "                                       NONE -- Delay = 0 milliseconds.\n");
  ASSERT_EQ(Sc({"failure", "Demo", "reset=", "INFINITE", "actions=", ""}).exitCode, 0);
  EXPECT_EQ(Sc({"qfailure", "Demo"}).out.find("FAILURE_ACTIONS "), std::string::npos) << "actions= \"\" clears them";

  const std::string flagHead = "[SC] QueryServiceConfig2 SUCCESS\n\nSERVICE_NAME: Demo\n";
  EXPECT_EQ(Sc({"qfailureflag", "Demo"}).out, flagHead + "        FAILURE_ACTIONS_ON_NONCRASH_FAILURES: FALSE\n");
  EXPECT_EQ(Sc({"failureflag", "Demo", "1"}).out, "[SC] ChangeServiceConfig2 SUCCESS\n");
  EXPECT_EQ(Sc({"qfailureflag", "Demo"}).out, flagHead + "        FAILURE_ACTIONS_ON_NONCRASH_FAILURES: TRUE\n");

  EXPECT_EQ(Sc({"qdescription", "Demo"}).out, flagHead + "DESCRIPTION:  \n");
  EXPECT_EQ(Sc({"description", "Demo", "A demo service"}).out, "[SC] ChangeServiceConfig2 SUCCESS\n");
  EXPECT_EQ(Sc({"qdescription", "Demo"}).out, flagHead + "DESCRIPTION:  A demo service\n");
}

TEST_F(VeskScVerbsTest, RefusalsPrintTheCallTheCodeAndTheSystemsText) {
  for (std::string_view verb : {"query", "queryex", "qc", "qfailure", "qfailureflag", "qdescription", "start", "stop",
                                "interrogate", "delete"}) {
    const auto r = Sc({verb, "Nobody"});
    EXPECT_EQ(r.exitCode, 1) << verb;
    EXPECT_EQ(r.out, "") << verb;
    EXPECT_EQ(r.err, "[SC] OpenService FAILED 1060:\n\nThe specified service does not exist as an installed service.\n")
        << verb;
  }
  ASSERT_EQ(Sc({"create", "Idle", "binPath=", "/bin/true"}).exitCode, 0);
  for (std::vector<std::string_view> args :
       std::vector<std::vector<std::string_view>>{{"stop", "Idle"},
                                                  {"interrogate", "Idle"},
                                                  {"control", "Idle", "pause"},
                                                  {"control", "Idle", "13", "0x12"}}) {
    const auto r = Sc(args);
    EXPECT_EQ(r.exitCode, 1) << args[0];
    EXPECT_EQ(r.err, "[SC] ControlService FAILED 1062:\n\nThe service has not been started.\n") << args[0];
  }
  const auto twice = Sc({"create", "idle", "binPath=", "/bin/true"});
  EXPECT_EQ(twice.exitCode, 1);
  EXPECT_EQ(twice.err, "[SC] CreateService FAILED 1073:\n\nThe specified service already exists.\n");

  EXPECT_EQ(Sc({"delete", "Idle"}).out, "[SC] DeleteService SUCCESS\n");
  EXPECT_EQ(Sc({"list"}).out, kListHeader + kDeclared);
}

TEST_F(VeskScVerbsTest, ACodeWithoutASystemTextIsShownByNumber) {
  ASSERT_EQ(Sc({"create", "Loop", "binPath=", "/bin/true"}).exitCode, 0);
  // A lock file that cannot be opened (ELOOP) reaches StartService as
  // ERROR_INVALID_FUNCTION, which has no text among the system's messages.
  std::filesystem::create_directories(root() / "scm");
  std::filesystem::create_symlink("Loop.lock", root() / "scm" / "Loop.lock");
  const auto r = Sc({"start", "Loop"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.starts_with("[SC] StartService FAILED 1:\n\nError 1.\n")) << r.err;
  EXPECT_NE(r.err.find("Loop.lock"), std::string::npos) << "the platform's detail follows: " << r.err;
}

TEST_F(VeskScVerbsTest, EveryVerbOfTheUsageHasItsOwnHelp) {
  const auto usage = Sc({"--help"});
  ASSERT_EQ(usage.exitCode, 0);
  EXPECT_TRUE(usage.out.starts_with("usage: vesk-sc [--root DIR] [--timeout MS] VERB [ARGS...]\n")) << usage.out;
  EXPECT_EQ(Sc({"-h"}).out, usage.out);
  EXPECT_EQ(Sc({"help"}).out, usage.out);

  std::istringstream lines(usage.out.substr(usage.out.find("verbs:\n") + 7));
  std::vector<std::string> verbs;
  for (std::string line; std::getline(lines, line) && !line.empty();) {
    if (line.starts_with("  ") && line[2] != ' ') verbs.push_back(line.substr(2, line.find(' ', 2) - 2));
  }
  EXPECT_EQ(verbs.size(), 17u) << usage.out;
  for (const auto& verb : verbs) {
    const auto help = Sc({"help", verb});
    EXPECT_EQ(help.exitCode, 0) << verb;
    EXPECT_TRUE(help.out.starts_with("usage: vesk-sc [--root DIR] " + verb + " ")) << help.out;
  }
  EXPECT_EQ(Sc({"help", "failureflag"}).out,
            "usage: vesk-sc [--root DIR] failureflag NAME 0|1\n"
            "  count a stop with an error exit code as a failure (1) or not (0)\n");
  const auto unknown = Sc({"help", "frob"});
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_EQ(unknown.err, "vesk-sc: unknown verb \"frob\"\nTry \"vesk-sc --help\".\n");
}

TEST_F(VeskScVerbsTest, UsageErrorsAndFailures) {
  EXPECT_EQ(Sc({}).exitCode, 2);
  auto unknown = Sc({"frobnicate"});
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_NE(unknown.err.find("unknown verb \"frobnicate\""), std::string::npos);
  EXPECT_EQ(Sc({"query"}).exitCode, 2);
  EXPECT_EQ(Sc({"create", "X"}).exitCode, 2);  // no binPath=
  EXPECT_EQ(Sc({"create", "X", "binPath=", "/bin/true", "start=", "sometimes"}).exitCode, 2);
  EXPECT_EQ(Sc({"failure", "X", "reset=", "1", "actions=", "restart"}).exitCode, 2);
  EXPECT_EQ(Sc({"failureflag", "X", "yes"}).exitCode, 2);
  auto nonNumeric = Sc({"control", "X", "abc"});
  EXPECT_EQ(nonNumeric.exitCode, 2);
  EXPECT_NE(nonNumeric.err.find("control code \"abc\""), std::string::npos) << nonNumeric.err;
  EXPECT_EQ(Sc({"control", "X", "14", "5", "first"}).exitCode, 2);
  EXPECT_EQ(Sc({"--timeout", "soon", "list"}).exitCode, 2);

  auto help = Sc({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("exit codes: 0 done, 1"), std::string::npos);
  EXPECT_NE(help.out.find("2 usage error"), std::string::npos);
  auto helpStart = Sc({"help", "start"});
  EXPECT_EQ(helpStart.exitCode, 0);
  EXPECT_NE(helpStart.out.find("start NAME [ARGS...]"), std::string::npos);

  auto missing = Sc({"start", "Nobody"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("[SC] OpenService FAILED 1060:"), std::string::npos) << missing.err;
  ASSERT_EQ(Sc({"create", "Twice", "binPath=", "/bin/true"}).exitCode, 0);
  auto twice = Sc({"create", "twice", "binPath=", "/bin/true"});
  EXPECT_EQ(twice.exitCode, 1);
  EXPECT_NE(twice.err.find("FAILED 1073:"), std::string::npos);
  ASSERT_EQ(Sc({"create", "Off", "binPath=", "/bin/true", "start=", "disabled"}).exitCode, 0);
  EXPECT_NE(Sc({"start", "Off"}).err.find("FAILED 1058:"), std::string::npos);
  ASSERT_EQ(Sc({"create", "Absent", "binPath=", "/nonexistent/program --x"}).exitCode, 0);
  auto absent = Sc({"start", "Absent"});
  EXPECT_EQ(absent.exitCode, 1);
  EXPECT_NE(absent.err.find("[SC] StartService FAILED 2:"), std::string::npos) << absent.err;

  // An unreachable supervisor: the lock says it lives, but nobody listens.
  {
    const platform::SERVICE_STATUS_PROCESS running{platform::SERVICE_WIN32_OWN_PROCESS,
                                                   platform::SERVICE_RUNNING,
                                                   platform::SERVICE_ACCEPT_STOP,
                                                   0,
                                                   0,
                                                   0,
                                                   0,
                                                   1,
                                                   0};
    platform::scm_testing::StrandedSupervisor stranded(root(), L"Twice", running);
    ASSERT_TRUE(stranded.holding());
    auto stop = Sc({"stop", "Twice"});
    EXPECT_EQ(stop.exitCode, 1);
    EXPECT_NE(stop.err.find("FAILED 1053:"), std::string::npos) << stop.err;
    EXPECT_NE(stop.err.find(stranded.socketPath().string()), std::string::npos) << stop.err;
  }

  // A damaged database is named and left as it is.
  const std::string damaged = "{ \"services\": [1, 2";
  WriteHostFile(root() / "scm.json", damaged);
  auto list = Sc({"list"});
  EXPECT_EQ(list.exitCode, 1);
  EXPECT_NE(list.err.find((root() / "scm.json").string()), std::string::npos) << list.err;
  EXPECT_NE(list.err.find("parse error"), std::string::npos) << list.err;
  EXPECT_EQ(Sc({"create", "New", "binPath=", "/bin/true"}).exitCode, 1);
  EXPECT_EQ(ReadHostFile(root() / "scm.json"), damaged);
}

TEST_F(VeskScVerbsTest, AVerbsUsageErrorPointsAtItsHelp) {
  const auto r = Sc({"delete", "A", "B"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "vesk-sc: delete takes only the service name\nTry \"vesk-sc help delete\".\n");
  const auto option = Sc({"create", "X", "binPath=", "/bin/true", "colour=", "red"});
  EXPECT_EQ(option.err, "vesk-sc: unknown option colour=\nTry \"vesk-sc help create\".\n");
  EXPECT_EQ(Sc({"list"}).out, kListHeader + kDeclared) << "nothing was created";
}

TEST_F(VeskScVerbsTest, TheTimeoutIsANumberOfMilliseconds) {
  for (std::string_view bad : {"soon", "-1", "4294967296", "0x", ""}) {
    const auto r = Sc({"--timeout", bad, "list"});
    EXPECT_EQ(r.exitCode, 2) << bad;
    EXPECT_EQ(r.err, "vesk-sc: --timeout takes milliseconds, not " + std::string(bad) + "\nTry \"vesk-sc --help\".\n");
  }
  EXPECT_EQ(Sc({"--timeout", "0x10", "list"}).exitCode, 0);
  EXPECT_EQ(Sc({"--timeout"}).err, "vesk-sc: --timeout needs a value\nTry \"vesk-sc --help\".\n");
}

}  // namespace
}  // namespace tools::vesk_sc
