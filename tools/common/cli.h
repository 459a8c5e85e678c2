// The command-line scaffolding the tools share: a table of verbs with their help, the
// options before the verb (--root DIR, --help and a tool's own), usage errors, and the
// one number parser for DWORD arguments.
//
//   TOOL [--root DIR] [TOOL'S OPTIONS] VERB [ARGS...]
//
// A verb is a function of its arguments, an output and an error stream that returns
// the exit code, so tests run it in-process on the machine their fixture made; main()
// of a tool only hands it argv, std::cout and std::cerr.
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace tools::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the operation failed, or what it needs was not found
inline constexpr int kExitUsage = 2;

using Args = std::span<const std::string_view>;

// A failure the user should read about: printed as one line after the tool's name,
// then the tool ends with exitCode().
class CliError : public std::runtime_error {
 public:
  CliError(int exitCode, const std::string& message) : std::runtime_error(message), exitCode_(exitCode) {}
  int exitCode() const { return exitCode_; }

 private:
  int exitCode_;
};

// The command line is wrong: exit 2, and the tool points at its help.
[[noreturn]] void Usage(std::string message);
// The operation failed: exit 1.
[[noreturn]] void Fail(std::string message);

// A 32-bit unsigned number in decimal or with a 0x prefix in hex (either case): digits
// only, no sign, no spaces, nothing after them, at most 0xFFFFFFFF.
std::optional<platform::DWORD> ParseDword(std::string_view text);

using VerbFunction = std::function<int(Args args, std::ostream& out, std::ostream& err)>;

struct Verb {
  std::string_view name;
  std::string_view synopsis;  // the arguments, as in the usage line
  std::string_view summary;
  VerbFunction run;
  // The help verb: runs without opening the machine, so that a broken root does not
  // hide the usage.
  bool isHelp = false;
};

// An option of the tool's own before the verb; each takes a value. `apply` throws
// CliError (Usage) for a value it cannot take.
struct Option {
  std::string_view name;
  std::function<void(std::string_view value)> apply;
};

struct Tool {
  std::string_view name;
  std::span<const Verb> verbs;
  std::span<const Option> options;
  std::function<void(std::ostream& out)> printUsage;  // --help, -h
  // When set, "--help" anywhere among a verb's arguments prints its usage this way
  // (the verb and its arguments are passed) instead of running it.
  std::function<void(const Verb& verb, Args args, std::ostream& out)> printVerbUsage;
};

const Verb* FindVerb(std::span<const Verb> verbs, std::string_view name);

// Runs one command line (argv without the program name): the options, then the verb
// on the machine at --root DIR (for this run only; the current machine otherwise, made
// with the defaults when there is none). Every error ends here as "TOOL: message" on
// `err` and its exit code: 2 for usage errors (with a pointer at the help), 1 for a
// machine that cannot be opened and anything else that went wrong.
int Run(const Tool& tool, Args args, std::ostream& out, std::ostream& err);

}  // namespace tools::cli
