// vesk-client: a client of the running service on the command line, built on the
// client half of the RPC interface: the technician's way to read the machine over a
// terminal, and what the end-to-end tests talk to the service with.
//
//   vesk-client [--root DIR] [--endpoint NAME] VERB [--json]
//
// Every verb binds to ncalrpc:[VeskRpcEndpoint], opens a client context, makes its one
// call, closes the context and frees the binding, as the app does.
#include "tools/vesk-client/vesk_client.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include <fmt/format.h>
#include <fmt/ostream.h>
#include <nlohmann/json.hpp>

#include "platform/errors.h"
#include "platform/rpc.h"
#include "platform/scm.h"
#include "platform/text.h"
#include "shared/rpc/vesk.h"

namespace tools::vesk_client {
namespace {

using namespace platform;
using cli::Args;
using cli::CliError;
using cli::Usage;

constexpr std::string_view kSeparator = "<.^.>";
constexpr std::string_view kUsbDataSeparator = "|.#.$";
constexpr const wchar_t* kServiceName = L"Varnel";

struct Settings {
  std::string endpoint = "VeskRpcEndpoint";
};

// What the service controller says of the service, for the message that tells the
// user why nobody answers.
std::string ServiceState() {
  SC_HANDLE manager = OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return "its state is unknown (the service controller cannot be asked)";
  std::string state;
  SC_HANDLE service = OpenService(manager, kServiceName, SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  if (service == nullptr) {
    state = GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST
                ? "Varnel is not installed (install it with `varnel -install`)"
                : "its state is unknown";
  } else if (!QueryServiceStatus(service, &status)) {
    state = "its state is unknown";
  } else {
    static constexpr const char* kStates[] = {"",        "stopped",          "start pending", "stop pending",
                                              "running", "continue pending", "pause pending", "paused"};
    const char* name = status.dwCurrentState < std::size(kStates) ? kStates[status.dwCurrentState] : "in state ?";
    state = status.dwCurrentState == SERVICE_RUNNING ? "Varnel is running but does not serve the endpoint (yet)"
                                                     : fmt::format("Varnel is {}", name);
  }
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return state;
}

// Turns a failed RPC status into the message and exit code the user gets.
[[noreturn]] void FailWith(RPC_STATUS status, const std::string& what, const Settings& settings) {
  const std::string text = WideToUtf8(SystemMessageText(status));
  const std::string detail = fmt::format("RPC status {}{}", status, text.empty() ? "" : ": " + text);
  if (status == RPC_S_SERVER_UNAVAILABLE) {
    throw CliError(kExitNoService,
                   fmt::format("the service is not running: nobody serves the endpoint \"{}\" ({}); {}.\n"
                               "Start it with `vesk-sc start Varnel` or `varnel -console`.",
                               settings.endpoint, detail, ServiceState()));
  }
  if (status == RPC_S_ACCESS_DENIED) {
    throw CliError(kExitRefused, fmt::format("the service refused this caller ({})", detail));
  }
  throw CliError(cli::kExitFailed, fmt::format("{} failed ({})", what, detail));
}

// One connection to the service: bound and opened on construction, closed and freed
// when it goes.
class Connection {
 public:
  explicit Connection(const Settings& settings) : settings_(settings) {
    const std::wstring endpoint = Utf8ToWide(settings.endpoint);
    RPC_WSTR text = nullptr;
    RPC_STATUS s = RpcStringBindingCompose(nullptr, const_cast<wchar_t*>(L"ncalrpc"), nullptr,
                                           const_cast<wchar_t*>(endpoint.c_str()), nullptr, &text);
    if (s == RPC_S_OK) {
      s = RpcBindingFromStringBinding(text, &binding_);
      RpcStringFree(&text);
    }
    if (s == RPC_S_INVALID_ENDPOINT_FORMAT || s == RPC_S_INVALID_STRING_BINDING) {
      Usage(fmt::format("\"{}\" is not an endpoint name", settings.endpoint));
    }
    if (s != RPC_S_OK) FailWith(s, "binding to the service", settings_);
    s = RpcGuard([&] { OpenClientContext(binding_, &context_); });
    if (s != RPC_S_OK) {
      RpcBindingFree(&binding_);
      FailWith(s, "opening a client context", settings_);
    }
  }
  ~Connection() {
    if (context_ != nullptr && RpcGuard([&] { CloseClientContext(&context_); }) != RPC_S_OK) {
      RpcSsDestroyClientContext(&context_);
    }
    if (binding_ != nullptr) RpcBindingFree(&binding_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Makes one call; a failure ends the verb with its message.
  void Call(const std::string& what, const std::function<void(ClientContextHandle)>& call) {
    const RPC_STATUS s = RpcGuard([&] { call(context_); });
    if (s != RPC_S_OK) FailWith(s, what, settings_);
  }

  // Procedures 4 and 7: the text the service served, UTF-8; empty for a null array.
  std::string ReadText(const std::string& what, void (*procedure)(ClientContextHandle, LONG*, char16_t**)) {
    char16_t* data = nullptr;
    LONG size = 0;
    Call(what, [&](ClientContextHandle context) { procedure(context, &size, &data); });
    std::u16string text;
    if (data != nullptr) {
      // The count includes the terminating NUL.
      text.assign(data, size > 0 ? static_cast<std::size_t>(size) - 1 : 0);
      std::free(data);
    }
    return Utf16ToUtf8(text);
  }

 private:
  const Settings& settings_;
  RPC_BINDING_HANDLE binding_ = nullptr;
  ClientContextHandle context_ = nullptr;
};

// Runs `work`; when it has not finished after a second, tells the user on `err` what
// it waits for and adds a dot every second until it ends.
template <class Work>
auto WithProgress(std::ostream& err, std::string_view waitingFor, Work&& work) {
  std::mutex lock;
  std::condition_variable changed;
  bool done = false;
  std::thread watcher([&] {
    std::unique_lock guard(lock);
    if (changed.wait_for(guard, std::chrono::seconds(1), [&] { return done; })) return;
    fmt::print(err, "vesk-client: waiting for the service to {}", waitingFor);
    err.flush();
    while (!changed.wait_for(guard, std::chrono::seconds(1), [&] { return done; })) {
      err << '.' << std::flush;
    }
    err << '\n' << std::flush;
  });
  struct Finish {
    std::mutex& lock;
    std::condition_variable& changed;
    bool& done;
    std::thread& watcher;
    ~Finish() {
      {
        std::lock_guard guard(lock);
        done = true;
      }
      changed.notify_all();
      watcher.join();
    }
  } finish{lock, changed, done, watcher};
  return work();
}

bool TakeJson(Args args, std::string_view verb) {
  bool json = false;
  for (std::string_view a : args) {
    if (a == "--json") {
      json = true;
    } else {
      Usage(fmt::format("{} takes only --json, not \"{}\"", verb, a));
    }
  }
  return json;
}

void NoArguments(Args args, std::string_view verb) {
  if (!args.empty()) Usage(fmt::format("{} takes no arguments, not \"{}\"", verb, args[0]));
}

constexpr const char* kSysInfoNames[] = {
    "productName",  "sku",          "buildId",     "memory",         "processor",      "biosVersion",
    "boardVersion", "serialNumber", "featureByte", "passwordStatus", "usbTypeCSupport"};
constexpr const char* kUsbCNames[] = {"usbData",       "thunderbolt",   "displayPort",
                                      "powerProvider", "powerConsumer", "maxPower"};

int SysInfo(Args args, std::ostream& out, std::ostream& err, const Settings& settings) {
  const bool json = TakeJson(args, "sysinfo");
  Connection connection(settings);
  const std::string record = WithProgress(err, "read the machine's facts (the first read takes a while)",
                                          [&] { return connection.ReadText("ReadSysInfo", &ReadSysInfo); });
  if (record.empty()) {
    cli::Fail("the service served an empty record: it could not read the machine's facts (its log says why)");
  }
  if (!json) {
    out << record << '\n';
    return cli::kExitOk;
  }
  const auto fields = SplitRecord(record);
  // Services before the USB Type-C support value served ten fields.
  if (fields.size() != 10 && fields.size() != 11) {
    cli::Fail(fmt::format("the service served {} fields, not 11: {}", fields.size(), record));
  }
  nlohmann::ordered_json facts;
  for (std::size_t i = 0; i < std::size(kSysInfoNames); ++i) {
    facts[kSysInfoNames[i]] = i < fields.size() ? nlohmann::ordered_json(fields[i]) : nlohmann::ordered_json();
  }
  out << facts.dump(2) << '\n';
  return cli::kExitOk;
}

int UsbC(Args args, std::ostream& out, std::ostream& err, const Settings& settings) {
  const bool json = TakeJson(args, "usbc");
  Connection connection(settings);
  const std::string record = WithProgress(err, "read the USB Type-C ports",
                                          [&] { return connection.ReadText("ReadUSBTypeCInfo", &ReadUSBTypeCInfo); });
  if (record.empty()) cli::Fail("the service has no USB Type-C information for this machine");
  if (!json) {
    out << record << '\n';
    return cli::kExitOk;
  }
  const auto fields = SplitRecord(record);
  if (fields.size() != std::size(kUsbCNames)) {
    cli::Fail(fmt::format("the service served {} fields, not 6: {}", fields.size(), record));
  }
  nlohmann::ordered_json facts;
  const std::string_view usb = fields[0];
  const auto cut = usb.find(kUsbDataSeparator);
  facts["usbData"] = {
      {"usb2", std::string(usb.substr(0, cut))},
      {"usb3", cut == std::string_view::npos ? "" : std::string(usb.substr(cut + kUsbDataSeparator.size()))}};
  for (std::size_t i = 1; i < fields.size(); ++i) facts[kUsbCNames[i]] = fields[i];
  out << facts.dump(2) << '\n';
  return cli::kExitOk;
}

int Start(Args args, std::ostream& out, const Settings& settings, std::string_view verb, const std::string& what,
          void (*procedure)(ClientContextHandle), std::string_view started) {
  NoArguments(args, verb);
  Connection connection(settings);
  connection.Call(what, procedure);
  fmt::print(out, "asked the service to start {}\n", started);
  return cli::kExitOk;
}

int Answer(Args args, std::ostream& out, const Settings& settings, std::string_view verb, const std::string& what,
           LONG (*procedure)(ClientContextHandle)) {
  NoArguments(args, verb);
  Connection connection(settings);
  LONG answer = 0;
  connection.Call(what, [&](ClientContextHandle context) { answer = procedure(context); });
  fmt::print(out, "{}\n", answer);
  return cli::kExitOk;
}

void PrintUsage(std::span<const cli::Verb> verbs, std::ostream& out) {
  fmt::print(out,
             "usage: vesk-client [--root DIR] [--endpoint NAME] VERB [--json]\n"
             "Reads the machine through the running service Varnel, over its local RPC endpoint.\n\nverbs:\n");
  for (const auto& v : verbs) fmt::print(out, "  {:<16}{}\n", v.name, v.summary);
  fmt::print(out,
             "\noptions:\n"
             "  --root DIR      use the machine at DIR (else $KORVO_MACHINE_ROOT, else the per-user default)\n"
             "  --endpoint NAME the service's endpoint (default VeskRpcEndpoint)\n"
             "  --json          sysinfo and usbc: the fields by name\n"
             "  --help          print this text\n"
             "\nexit codes: 0 done, 1 the call failed or the answer is empty, 2 usage error,\n"
             "            3 the service is not running, 4 the service refused this caller\n");
}

}  // namespace

std::vector<std::string> SplitRecord(std::string_view record) {
  std::vector<std::string> fields;
  if (record.empty()) return fields;
  for (std::size_t start = 0;;) {
    const auto at = record.find(kSeparator, start);
    fields.emplace_back(record.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) break;
    start = at + kSeparator.size();
  }
  return fields;
}

int Run(Args args, std::ostream& out, std::ostream& err) {
  Settings settings;
  std::vector<cli::Verb> verbs = {
      {"sysinfo", "[--json]", "print the system information record (with --json its eleven fields by name)",
       [&](Args a, std::ostream& o, std::ostream& e) { return SysInfo(a, o, e, settings); }},
      {"usbc", "[--json]", "print the USB Type-C record (with --json its six fields by name)",
       [&](Args a, std::ostream& o, std::ostream& e) { return UsbC(a, o, e, settings); }},
      {"msinfo", "", "ask the service to start System Information on the user's desktop",
       [&](Args a, std::ostream& o, std::ostream&) {
         return Start(a, o, settings, "msinfo", "StartMSInfoApp", &StartMSInfoApp, "System Information");
       }},
      {"usbc-app", "", "ask the service to start the USB Type-C configuration program",
       [&](Args a, std::ostream& o, std::ostream&) {
         return Start(a, o, settings, "usbc-app", "StartUSBC", &StartUSBC, "the USB Type-C configuration program");
       }},
      {"merid-service", "", "print 1 when the system-information component's service is installed, else 0",
       [&](Args a, std::ostream& o, std::ostream&) {
         return Answer(a, o, settings, "merid-service", "IsMeridServiceInstalled", &IsMeridServiceInstalled);
       }},
      {"merid-node", "", "print 1 when one of the firmware nodes the component needs is present, else 0",
       [&](Args a, std::ostream& o, std::ostream&) {
         return Answer(a, o, settings, "merid-node", "IsMeridNodePresent", &IsMeridNodePresent);
       }},
      {"help", "[VERB]", "print usage", nullptr, true},
  };
  verbs.back().run = [&verbs](Args a, std::ostream& o, std::ostream&) {
    if (a.empty()) {
      PrintUsage(verbs, o);
      return cli::kExitOk;
    }
    const cli::Verb* verb = cli::FindVerb(verbs, a[0]);
    if (verb == nullptr) Usage(fmt::format("unknown verb \"{}\"", a[0]));
    fmt::print(o, "usage: vesk-client [--root DIR] {} {}\n  {}\n", verb->name, verb->synopsis, verb->summary);
    return cli::kExitOk;
  };
  const cli::Option options[] = {{"--endpoint", [&settings](std::string_view value) {
                                    if (value.empty()) Usage("--endpoint takes a name");
                                    settings.endpoint = std::string(value);
                                  }}};
  const cli::Tool tool{"vesk-client", verbs, options, [&verbs](std::ostream& o) { PrintUsage(verbs, o); }, nullptr};
  return cli::Run(tool, args, out, err);
}

}  // namespace tools::vesk_client
