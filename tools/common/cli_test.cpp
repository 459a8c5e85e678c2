#include "tools/common/cli.h"

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/machine.h"
#include "platform/testing/machine_test.h"

namespace tools::cli {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Optional;

TEST(CliParseDwordTest, DecimalAndHexOverTheWholeRange) {
  EXPECT_THAT(ParseDword("0"), Optional(0u));
  EXPECT_THAT(ParseDword("42"), Optional(42u));
  EXPECT_THAT(ParseDword("4294967295"), Optional(0xFFFFFFFFu));
  EXPECT_THAT(ParseDword("0x0"), Optional(0u));
  EXPECT_THAT(ParseDword("0x12"), Optional(0x12u));
  EXPECT_THAT(ParseDword("0XaBcD"), Optional(0xABCDu));
  EXPECT_THAT(ParseDword("0xFFFFFFFF"), Optional(0xFFFFFFFFu));
  EXPECT_THAT(ParseDword("08"), Optional(8u)) << "a leading zero is not octal";
  EXPECT_THAT(ParseDword("000000000000004294967295"), Optional(0xFFFFFFFFu)) << "leading zeros add nothing";
  EXPECT_THAT(ParseDword("0x00000000000000FF"), Optional(0xFFu));
}

TEST(CliParseDwordTest, JustPastTheRangeIsRefused) {
  EXPECT_EQ(ParseDword("4294967296"), std::nullopt);
  EXPECT_EQ(ParseDword("0x100000000"), std::nullopt);
  EXPECT_EQ(ParseDword("18446744073709551616"), std::nullopt) << "no wrap-around at 64 bits either";
  EXPECT_EQ(ParseDword("0x10000000000000000"), std::nullopt);
}

TEST(CliParseDwordTest, AnythingButDigitsIsRefused) {
  for (const char* text : {"",     "0x",   "0X",   "x12", "-1",  "-0",  "+1",  " 1",    "1 ",    "12a",     "0x1g",
                           "0x-1", "0x+1", "0x 1", "1e3", "0b1", "0o7", "1.0", "1,000", "0x0x1", "\xd9\xa1"}) {
    EXPECT_EQ(ParseDword(text), std::nullopt) << '"' << text << '"';
  }
  EXPECT_EQ(ParseDword(std::string_view("1\0", 2)), std::nullopt) << "an embedded terminator is junk too";
}

// A tool with verbs that record what they were given.
class CliRunTest : public platform::testing::MachineTest {
 protected:
  struct Call {
    std::vector<std::string> args;
    std::filesystem::path root;  // of the machine current while the verb ran
  };

  CliRunTest() {
    verbs_ = {
        {"echo", "[WORDS...]", "print the words",
         [this](Args args, std::ostream& out, std::ostream& err) {
           calls_.push_back({{args.begin(), args.end()}, platform::CurrentMachine().Root()});
           for (auto a : args) out << a << '\n';
           err << "echoed\n";
           return 7;
         }},
        {"strict", "NAME", "refuse everything",
         [](Args args, std::ostream&, std::ostream&) -> int {
           if (args.empty()) Usage("strict needs a NAME");
           if (args[0] == "hinted") Usage("strict wants one NAME (see help strict)");
           if (args[0] == "missing") Fail("no such thing: missing");
           if (args[0] == "machine") throw platform::MachineError("the root went away");
           throw std::runtime_error("something broke");
         }},
        {"help", "[VERB]", "print usage",
         [this](Args args, std::ostream& out, std::ostream&) {
           helpCalls_.emplace_back(args.begin(), args.end());
           out << "help text\n";
           return kExitOk;
         },
         true},
    };
    options_ = {{"--level", [this](std::string_view value) {
                   if (value == "bad") Usage("--level takes a number, not bad");
                   levels_.emplace_back(value);
                 }}};
  }

  Tool MakeTool(bool verbHelp = false) {
    Tool tool{"demo", verbs_, options_, [](std::ostream& out) { out << "usage: demo VERB\n"; }, nullptr};
    if (verbHelp) {
      tool.printVerbUsage = [this](const Verb& verb, Args args, std::ostream& out) {
        verbHelpCalls_.push_back(std::string(verb.name) + ":" + std::to_string(args.size()));
        out << "usage: demo " << verb.name << '\n';
      };
    }
    return tool;
  }

  int Demo(std::vector<std::string_view> args, bool verbHelp = false) {
    out_.str("");
    err_.str("");
    return cli::Run(MakeTool(verbHelp), args, out_, err_);
  }

  std::vector<Verb> verbs_;
  std::vector<Option> options_;
  std::vector<Call> calls_;
  std::vector<std::vector<std::string>> helpCalls_;
  std::vector<std::string> verbHelpCalls_;
  std::vector<std::string> levels_;
  std::ostringstream out_, err_;
};

TEST_F(CliRunTest, TheVerbGetsItsArgumentsAndStreamsOnTheCurrentMachine) {
  EXPECT_EQ(Demo({"echo", "a", "--root", "b"}), 7);
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_THAT(calls_[0].args, ElementsAre("a", "--root", "b")) << "options after the verb are the verb's";
  EXPECT_EQ(calls_[0].root, root());
  EXPECT_EQ(out_.str(), "a\n--root\nb\n");
  EXPECT_EQ(err_.str(), "echoed\n");
}

TEST_F(CliRunTest, RootSelectsAMachineForThisRunOnly) {
  platform::testing::TempDir other;
  const auto otherRoot = other.path() / "machine";
  EXPECT_EQ(Demo({"--root", otherRoot.string(), "echo"}), 7);
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0].root, otherRoot);
  EXPECT_TRUE(std::filesystem::exists(otherRoot / "machine.json")) << "laid out on first use";
  EXPECT_EQ(platform::CurrentMachinePtr().get(), &machine()) << "the machine before the run is back";

  EXPECT_EQ(Demo({"--root", otherRoot.string(), "--root", root().string(), "echo"}), 7);
  EXPECT_EQ(calls_.at(1).root, root()) << "the last --root counts";
}

TEST_F(CliRunTest, AMachineThatCannotBeOpenedIsOneMessage) {
  platform::testing::TempDir other;
  platform::testing::WriteHostFile(other.path() / "machine.json", "{ not json");
  EXPECT_EQ(Demo({"--root", other.path().string(), "echo"}), kExitFailed);
  EXPECT_THAT(calls_, IsEmpty());
  EXPECT_THAT(err_.str(), ::testing::StartsWith("demo: cannot open the machine: "));
  EXPECT_NE(err_.str().find("machine.json"), std::string::npos) << err_.str();
  EXPECT_EQ(platform::CurrentMachinePtr().get(), &machine());

  // The help needs no machine.
  EXPECT_EQ(Demo({"--root", other.path().string(), "help", "echo"}), kExitOk);
  EXPECT_THAT(helpCalls_, ElementsAre(ElementsAre("echo")));
  EXPECT_EQ(out_.str(), "help text\n");
}

TEST_F(CliRunTest, HelpOptionPrintsTheUsageAndRunsNothing) {
  for (const char* help : {"--help", "-h"}) {
    EXPECT_EQ(Demo({help, "echo"}), kExitOk);
    EXPECT_EQ(out_.str(), "usage: demo VERB\n");
    EXPECT_EQ(err_.str(), "");
  }
  EXPECT_EQ(Demo({"--level", "1", "--help", "--no-such-option"}), kExitOk) << "the options stop at --help";
  EXPECT_THAT(calls_, IsEmpty());
}

TEST_F(CliRunTest, UsageErrorsNameTheProblemAndPointAtTheHelp) {
  EXPECT_EQ(Demo({}), kExitUsage);
  EXPECT_EQ(err_.str(), "demo: no verb given\nTry \"demo --help\".\n");
  EXPECT_EQ(Demo({"frobnicate"}), kExitUsage);
  EXPECT_EQ(err_.str(), "demo: unknown verb \"frobnicate\"\nTry \"demo --help\".\n");
  EXPECT_EQ(Demo({"--frob", "echo"}), kExitUsage);
  EXPECT_EQ(err_.str(), "demo: unknown option \"--frob\"\nTry \"demo --help\".\n");
  EXPECT_EQ(Demo({"echo", "--root"}), 7) << "only before the verb is --root an option";
  EXPECT_EQ(Demo({"--root"}), kExitUsage);
  EXPECT_EQ(err_.str(), "demo: --root needs a folder\nTry \"demo --help\".\n");
  EXPECT_EQ(Demo({"--level"}), kExitUsage);
  EXPECT_EQ(err_.str(), "demo: --level needs a value\nTry \"demo --help\".\n");
  EXPECT_EQ(Demo({"--level", "bad", "echo"}), kExitUsage);
  EXPECT_EQ(err_.str(), "demo: --level takes a number, not bad\nTry \"demo --help\".\n");
  EXPECT_EQ(out_.str(), "");
  EXPECT_EQ(calls_.size(), 1u);
}

TEST_F(CliRunTest, AVerbsUsageErrorPointsAtItsOwnHelp) {
  EXPECT_EQ(Demo({"strict"}), kExitUsage);
  EXPECT_EQ(err_.str(), "demo: strict needs a NAME\nTry \"demo help strict\".\n");
  EXPECT_EQ(Demo({"strict", "hinted"}), kExitUsage);
  EXPECT_EQ(err_.str(), "demo: strict wants one NAME (see help strict)\n") << "said once is enough";
}

TEST_F(CliRunTest, FailuresAreOneLineWithExitOne) {
  EXPECT_EQ(Demo({"strict", "missing"}), kExitFailed);
  EXPECT_EQ(err_.str(), "demo: no such thing: missing\n");
  EXPECT_EQ(Demo({"strict", "machine"}), kExitFailed);
  EXPECT_EQ(err_.str(), "demo: cannot open the machine: the root went away\n");
  EXPECT_EQ(Demo({"strict", "other"}), kExitFailed);
  EXPECT_EQ(err_.str(), "demo: something broke\n");
}

TEST_F(CliRunTest, ToolOptionsTakeTheirValuesInOrder) {
  EXPECT_EQ(Demo({"--level", "1", "--root", root().string(), "--level", "0x2", "echo", "--level", "3"}), 7);
  EXPECT_THAT(levels_, ElementsAre("1", "0x2"));
  EXPECT_THAT(calls_.at(0).args, ElementsAre("--level", "3"));
}

TEST_F(CliRunTest, HelpAmongAVerbsArgumentsOnlyWhereTheToolSaysSo) {
  EXPECT_EQ(Demo({"echo", "x", "--help"}), 7) << "without printVerbUsage the verb gets --help";
  EXPECT_THAT(calls_.at(0).args, ElementsAre("x", "--help"));

  EXPECT_EQ(Demo({"echo", "x", "--help"}, true), kExitOk);
  EXPECT_THAT(verbHelpCalls_, ElementsAre("echo:2"));
  EXPECT_EQ(out_.str(), "usage: demo echo\n");
  EXPECT_EQ(calls_.size(), 1u) << "the verb did not run";

  EXPECT_EQ(Demo({"help", "--help"}, true), kExitOk) << "the help verb takes its arguments itself";
  EXPECT_THAT(helpCalls_, ElementsAre(ElementsAre("--help")));
}

TEST(CliFindVerbTest, ByExactName) {
  const Verb verbs[] = {{"list", "", "", nullptr}, {"lists", "", "", nullptr}};
  EXPECT_EQ(FindVerb(verbs, "lists"), &verbs[1]);
  EXPECT_EQ(FindVerb(verbs, "list"), &verbs[0]);
  EXPECT_EQ(FindVerb(verbs, "LIST"), nullptr);
  EXPECT_EQ(FindVerb(verbs, "lis"), nullptr);
}

}  // namespace
}  // namespace tools::cli
