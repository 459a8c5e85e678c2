// The service database: <root>/scm.json. Readers take no lock (a rename replaces the
// file as a whole); writers read, change and write it back under <root>/scm.lock, so
// two processes that install services at once both keep theirs. A file that does not
// parse is reported and left as it is.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <system_error>

#include "platform/src/scm/scm_internal.h"
#include "platform/text.h"

namespace platform::scm::detail {
namespace {

using nlohmann::json;

// Typed reads of one object, naming `where` in the message of a bad value.
class Reader {
 public:
  Reader(const json& object, std::string where) : object_(object), where_(std::move(where)) {
    if (!object_.is_object()) Bad("must be an object");
  }

  DWORD Number(const char* key, DWORD fallback) const {
    const json* v = Find(key);
    if (v == nullptr) return fallback;
    // A profile built in code holds signed numbers; a parsed one, unsigned ones.
    if (!v->is_number_integer() || v->get<std::int64_t>() < 0 || v->get<std::uint64_t>() > 0xFFFFFFFFu) {
      Bad(key, "must be a 32-bit unsigned number");
    }
    return v->get<DWORD>();
  }
  std::wstring Text(const char* key, const std::wstring& fallback) const {
    const json* v = Find(key);
    if (v == nullptr) return fallback;
    if (!v->is_string()) Bad(key, "must be a string");
    return Utf8ToWide(v->get<std::string>());
  }
  std::optional<std::wstring> OptionalText(const char* key) const {
    const json* v = Find(key);
    if (v == nullptr || v->is_null()) return std::nullopt;
    if (!v->is_string()) Bad(key, "must be a string or null");
    return Utf8ToWide(v->get<std::string>());
  }
  bool Flag(const char* key, bool fallback) const {
    const json* v = Find(key);
    if (v == nullptr) return fallback;
    if (!v->is_boolean()) Bad(key, "must be true or false");
    return v->get<bool>();
  }
  const json* Find(const char* key) const {
    auto it = object_.find(key);
    return it == object_.end() ? nullptr : &*it;
  }
  [[noreturn]] void Bad(const char* key, const std::string& problem) const {
    throw DatabaseError(where_ + ": \"" + key + "\" " + problem);
  }
  [[noreturn]] void Bad(const std::string& problem) const { throw DatabaseError(where_ + " " + problem); }
  const std::string& Where() const { return where_; }

 private:
  const json& object_;
  std::string where_;
};

const char* ActionName(SC_ACTION_TYPE type) {
  switch (type) {
    case SC_ACTION_RESTART:
      return "restart";
    case SC_ACTION_REBOOT:
      return "reboot";
    case SC_ACTION_RUN_COMMAND:
      return "run";
    default:
      return "none";
  }
}

json OptionalToJson(const std::optional<std::wstring>& text) {
  return text ? json(WideToUtf8(*text)) : json(nullptr);
}

json ServiceToJson(const ServiceRecord& s) {
  json deps = json::array();
  for (const auto& d : s.dependencies) deps.push_back(WideToUtf8(d));
  json actions = json::array();
  for (const auto& a : s.failureActions.actions) actions.push_back({{"type", ActionName(a.Type)}, {"delay", a.Delay}});
  json j = {{"id", s.id},
            {"displayName", WideToUtf8(s.displayName)},
            {"type", s.serviceType},
            {"startType", s.startType},
            {"errorControl", s.errorControl},
            {"binaryPath", WideToUtf8(s.binaryPath)},
            {"loadOrderGroup", WideToUtf8(s.loadOrderGroup)},
            {"tagId", s.tagId},
            {"dependencies", deps},
            {"account", WideToUtf8(s.account)},
            {"description", OptionalToJson(s.description)},
            {"failureActions",
             {{"resetPeriod", s.failureActions.resetPeriod},
              {"rebootMessage", OptionalToJson(s.failureActions.rebootMessage)},
              {"command", OptionalToJson(s.failureActions.command)},
              {"actions", actions}}},
            {"failureActionsOnNonCrashFailures", s.failureActionsOnNonCrashFailures},
            {"deletePending", s.deletePending}};
  if (s.declared) {
    j["declared"] = {{"state", s.declaredState == SERVICE_RUNNING ? "running" : "stopped"},
                     {"processId", s.declaredProcessId}};
  }
  return j;
}

DWORD DeclaredState(const Reader& r, const char* key) {
  const std::wstring state = r.Text(key, L"stopped");
  if (EqualsNoCase(state, L"running")) return SERVICE_RUNNING;
  if (EqualsNoCase(state, L"stopped")) return SERVICE_STOPPED;
  r.Bad(key, "must be \"running\" or \"stopped\"");
}

ServiceRecord ServiceFromJson(const std::string& name, const json& j, const std::string& where) {
  Reader r(j, where + ": service \"" + name + "\"");
  ServiceRecord s;
  s.name = Utf8ToWide(name);
  if (const json* id = r.Find("id"); id != nullptr) {
    if (!id->is_string()) r.Bad("id", "must be a string");
    s.id = id->get<std::string>();
  }
  s.displayName = r.Text("displayName", s.name);
  s.serviceType = r.Number("type", SERVICE_WIN32_OWN_PROCESS);
  s.startType = r.Number("startType", SERVICE_DEMAND_START);
  s.errorControl = r.Number("errorControl", SERVICE_ERROR_NORMAL);
  s.binaryPath = r.Text("binaryPath", L"");
  s.loadOrderGroup = r.Text("loadOrderGroup", L"");
  s.tagId = r.Number("tagId", 0);
  if (const json* deps = r.Find("dependencies"); deps != nullptr) {
    if (!deps->is_array()) r.Bad("dependencies", "must be an array of strings");
    for (const auto& d : *deps) {
      if (!d.is_string()) r.Bad("dependencies", "must be an array of strings");
      s.dependencies.push_back(Utf8ToWide(d.get<std::string>()));
    }
  }
  s.account = r.Text("account", L"LocalSystem");
  s.description = r.OptionalText("description");
  if (const json* fa = r.Find("failureActions"); fa != nullptr) {
    Reader f(*fa, r.Where() + " \"failureActions\"");
    s.failureActions.resetPeriod = f.Number("resetPeriod", 0);
    s.failureActions.rebootMessage = f.OptionalText("rebootMessage");
    s.failureActions.command = f.OptionalText("command");
    if (const json* actions = f.Find("actions"); actions != nullptr) {
      if (!actions->is_array()) f.Bad("actions", "must be an array");
      for (const auto& a : *actions) {
        Reader ar(a, f.Where() + " action");
        const std::wstring type = ar.Text("type", L"none");
        SC_ACTION action{SC_ACTION_NONE, ar.Number("delay", 0)};
        if (type == L"restart") {
          action.Type = SC_ACTION_RESTART;
        } else if (type == L"reboot") {
          action.Type = SC_ACTION_REBOOT;
        } else if (type == L"run") {
          action.Type = SC_ACTION_RUN_COMMAND;
        } else if (type != L"none") {
          ar.Bad("type", "must be \"none\", \"restart\", \"reboot\" or \"run\"");
        }
        s.failureActions.actions.push_back(action);
      }
    }
  }
  s.failureActionsOnNonCrashFailures = r.Flag("failureActionsOnNonCrashFailures", false);
  s.deletePending = r.Flag("deletePending", false);
  if (const json* declared = r.Find("declared"); declared != nullptr) {
    Reader d(*declared, r.Where() + " \"declared\"");
    s.declared = true;
    s.declaredState = DeclaredState(d, "state");
    s.declaredProcessId = d.Number("processId", 0);
  }
  return s;
}

void SortByName(std::vector<ServiceRecord>& services) {
  std::sort(services.begin(), services.end(),
            [](const ServiceRecord& a, const ServiceRecord& b) { return ToUpper(a.name) < ToUpper(b.name); });
}

}  // namespace

std::string NewServiceId() {
  static std::mutex lock;
  static std::mt19937_64 generator{std::random_device{}() ^ (static_cast<std::uint64_t>(::getpid()) << 32)};
  std::lock_guard guard(lock);
  std::ostringstream out;
  out << std::hex << generator();
  return out.str();
}

ServiceRecord* FindIn(std::vector<ServiceRecord>& services, std::wstring_view name) {
  for (auto& s : services) {
    if (EqualsNoCase(s.name, name)) return &s;
  }
  return nullptr;
}

Database::Database(std::filesystem::path root, nlohmann::json profile)
    : root_(std::move(root)), path_(root_ / "scm.json"), lockPath_(root_ / "scm.lock"), profile_(std::move(profile)) {}

std::vector<ServiceRecord> Database::ProfileServices() const {
  std::vector<ServiceRecord> out;
  auto it = profile_.find("services");
  if (it == profile_.end()) return out;
  const std::string where = "machine profile \"services\"";
  if (!it->is_object()) throw DatabaseError(where + " must be an object");
  for (const auto& [name, entry] : it->items()) {
    Reader r(entry, where + " entry \"" + name + "\"");
    if (name.empty() || name.find_first_of("/\\") != std::string::npos) throw DatabaseError(r.Where() + ": bad name");
    ServiceRecord s;
    s.name = Utf8ToWide(name);
    s.id = NewServiceId();
    s.displayName = r.Text("displayName", s.name);
    s.binaryPath = r.Text("binaryPath", L"");
    s.serviceType = r.Number("type", SERVICE_WIN32_OWN_PROCESS);
    s.startType = r.Number("startType", SERVICE_AUTO_START);
    s.description = r.OptionalText("description");
    s.declared = true;
    s.declaredState = DeclaredState(r, "state");
    s.declaredProcessId = s.declaredState == SERVICE_RUNNING ? r.Number("processId", 0) : 0;
    out.push_back(std::move(s));
  }
  SortByName(out);
  return out;
}

std::vector<ServiceRecord> Database::Parse(const std::optional<std::string>& text) const {
  if (!text) return ProfileServices();
  json j;
  try {
    j = json::parse(*text);
  } catch (const json::parse_error& e) {
    throw DatabaseError("the service database " + path_.string() + " is damaged: " + e.what());
  }
  const std::string where = "the service database " + path_.string();
  if (!j.is_object() || !j.contains("services") || !j["services"].is_object()) {
    throw DatabaseError(where + " is damaged: it must be an object with a \"services\" object");
  }
  std::vector<ServiceRecord> out;
  for (const auto& [name, entry] : j["services"].items()) out.push_back(ServiceFromJson(name, entry, where));
  SortByName(out);
  return out;
}

std::vector<ServiceRecord> Database::ReadLocked() const {
  return Parse(host::ReadFile(path_));
}

std::string Database::Serialize(const std::vector<ServiceRecord>& services) {
  json all = json::object();
  for (const auto& s : services) all[WideToUtf8(s.name)] = ServiceToJson(s);
  return json{{"services", all}}.dump(2) + "\n";
}

void Database::EnsureExists() {
  std::error_code ec;
  if (std::filesystem::exists(path_, ec)) {
    (void)ReadLocked();  // a damaged file is reported here, before anything uses it
    return;
  }
  Update([](std::vector<ServiceRecord>&) { return NO_ERROR; });
}

std::vector<ServiceRecord> Database::Load() const {
  return ReadLocked();
}

std::optional<ServiceRecord> Database::Find(std::wstring_view name) const {
  auto services = ReadLocked();
  if (ServiceRecord* s = FindIn(services, name)) return *s;
  return std::nullopt;
}

DWORD Database::Update(const std::function<DWORD(std::vector<ServiceRecord>&)>& change,
                       const std::function<void()>& whileLocked) {
  DWORD result = NO_ERROR;
  host::UpdateFile(
      path_, lockPath_,
      [&](const std::optional<std::string>& text) -> std::optional<std::string> {
        auto services = Parse(text);
        result = change(services);
        if (result != NO_ERROR) return std::nullopt;
        SortByName(services);
        return Serialize(services);
      },
      [&] {
        if (whileLocked && (result == NO_ERROR || result == kUnchanged)) whileLocked();
      });
  return result == kUnchanged ? NO_ERROR : result;
}

DWORD Database::Guard(const std::function<DWORD()>& body) {
  try {
    return body();
  } catch (const DatabaseError& e) {
    SetErrorDetail(e.what());
    return ERROR_INVALID_DATA;
  } catch (const std::system_error& e) {
    SetErrorDetail(e.what());
    return e.code().category() == std::generic_category() ? Win32ErrorFromErrno(e.code().value()) : ERROR_WRITE_FAULT;
  } catch (const std::exception& e) {
    SetErrorDetail(e.what());
    return ERROR_INVALID_DATA;
  }
}

}  // namespace platform::scm::detail
