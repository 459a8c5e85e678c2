#include "tools/common/cli.h"

#include <algorithm>
#include <charconv>
#include <memory>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "platform/machine.h"

namespace tools::cli {
namespace {

// The machine of --root DIR for the length of one run; the one before comes back
// after it, so a run in a test leaves the fixture's machine in place.
class MachineSelection {
 public:
  explicit MachineSelection(std::optional<std::string_view> root) {
    if (!root) {
      // Opened now, so that an unusable root is one clear message before the verb starts.
      platform::CurrentMachine();
      return;
    }
    platform::Machine::Options options;
    options.root = std::string(*root);
    previous_ = platform::SelectMachine(platform::Machine::Open(std::move(options)));
    selected_ = true;
  }
  ~MachineSelection() {
    if (selected_) platform::SelectMachine(std::move(previous_));
  }
  MachineSelection(const MachineSelection&) = delete;
  MachineSelection& operator=(const MachineSelection&) = delete;

 private:
  std::shared_ptr<platform::Machine> previous_;
  bool selected_ = false;
};

bool Contains(Args args, std::string_view word) {
  return std::find(args.begin(), args.end(), word) != args.end();
}

// Where a usage error sends the user: the verb's own help when one was named, else the
// tool's. Nothing when the message already says where to look.
std::string HelpPointer(std::string_view tool, const Verb* verb, std::string_view message) {
  if (message.find("--help") != std::string_view::npos) return {};
  if (verb == nullptr) return fmt::format("Try \"{} --help\".", tool);
  if (message.find(fmt::format("help {}", verb->name)) != std::string_view::npos) return {};
  return fmt::format("Try \"{} help {}\".", tool, verb->name);
}

int Dispatch(const Tool& tool, Args args, std::ostream& out, std::ostream& err, const Verb** verb) {
  std::optional<std::string_view> root;
  while (!args.empty() && args[0].starts_with("-")) {
    const std::string_view name = args[0];
    if (name == "--help" || name == "-h") {
      tool.printUsage(out);
      return kExitOk;
    }
    const auto own = std::find_if(tool.options.begin(), tool.options.end(),
                                  [&](const Option& option) { return option.name == name; });
    if (name != "--root" && own == tool.options.end()) Usage(fmt::format("unknown option \"{}\"", name));
    if (args.size() < 2) Usage(fmt::format("{} needs {}", name, name == "--root" ? "a folder" : "a value"));
    if (own != tool.options.end()) {
      own->apply(args[1]);
    } else {
      root = args[1];
    }
    args = args.subspan(2);
  }
  if (args.empty()) Usage("no verb given");
  *verb = FindVerb(tool.verbs, args[0]);
  if (*verb == nullptr) Usage(fmt::format("unknown verb \"{}\"", args[0]));
  const Args rest = args.subspan(1);
  if ((*verb)->isHelp) return (*verb)->run(rest, out, err);
  if (tool.printVerbUsage && Contains(rest, "--help")) {
    tool.printVerbUsage(**verb, rest, out);
    return kExitOk;
  }
  MachineSelection machine(root);
  return (*verb)->run(rest, out, err);
}

}  // namespace

void Usage(std::string message) {
  throw CliError(kExitUsage, message);
}

void Fail(std::string message) {
  throw CliError(kExitFailed, message);
}

std::optional<platform::DWORD> ParseDword(std::string_view text) {
  int base = 10;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  // from_chars takes no sign, space or prefix for an unsigned type and checks the range.
  platform::DWORD value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || error != std::errc{} || stop != end) return std::nullopt;
  return value;
}

const Verb* FindVerb(std::span<const Verb> verbs, std::string_view name) {
  const auto it = std::find_if(verbs.begin(), verbs.end(), [&](const Verb& v) { return v.name == name; });
  return it == verbs.end() ? nullptr : &*it;
}

int Run(const Tool& tool, Args args, std::ostream& out, std::ostream& err) {
  const Verb* verb = nullptr;
  try {
    return Dispatch(tool, args, out, err, &verb);
  } catch (const CliError& e) {
    err << tool.name << ": " << e.what() << '\n';
    if (e.exitCode() == kExitUsage) {
      const std::string pointer = HelpPointer(tool.name, verb != nullptr && !verb->isHelp ? verb : nullptr, e.what());
      if (!pointer.empty()) err << pointer << '\n';
    }
    return e.exitCode();
  } catch (const platform::MachineError& e) {
    err << tool.name << ": cannot open the machine: " << e.what() << '\n';
    return kExitFailed;
  } catch (const std::exception& e) {
    err << tool.name << ": " << e.what() << '\n';
    return kExitFailed;
  }
}

}  // namespace tools::cli
