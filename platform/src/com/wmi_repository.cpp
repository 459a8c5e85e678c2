// The "wmi" section of a machine profile and the WQL subset.

#include <cwctype>
#include <limits>

#include "platform/machine.h"
#include "platform/src/com/wmi_internal.h"
#include "platform/text.h"

namespace platform::wmi::detail {
namespace {

std::string Quoted(const std::string& key) {
  return nlohmann::json(key).dump();
}

[[noreturn]] void Fail(const std::string& origin, const std::string& path, const std::string& problem) {
  throw MachineError(origin + ": " + path + ": " + problem);
}

// `allowed` lists the kinds that make sense where the fault sits.
Fault ParseFault(const nlohmann::json& v, const std::string& origin, const std::string& path,
                 std::initializer_list<std::pair<const char*, Fault::Kind>> allowed) {
  if (!v.is_object()) Fail(origin, path, "a fault must be an object with \"kind\"");
  Fault fault;
  fault.key = path;
  std::string kinds;
  bool found = false;
  const auto kind = v.contains("kind") && v["kind"].is_string() ? v["kind"].get<std::string>() : std::string();
  for (const auto& [name, k] : allowed) {
    kinds += (kinds.empty() ? "" : ", ") + std::string(name);
    if (kind == name) {
      fault.kind = k;
      found = true;
    }
  }
  if (!found) Fail(origin, path + ".kind", "must be one of " + kinds);
  for (const auto& [key, value] : v.items()) {
    if (key == "kind") continue;
    if (key == "hr") {
      fault.hr = ParseHr(value, origin, path + ".hr");
    } else if (key == "count") {
      if (!value.is_number_unsigned()) Fail(origin, path + ".count", "must be a number of uses, 0 or more");
      fault.count = value.get<std::uint64_t>();
    } else {
      Fail(origin, path + "." + key, "is not a fault setting (kind, hr, count)");
    }
  }
  return fault;
}

Value ParseValue(const nlohmann::json& v, const std::string& origin, const std::string& path) {
  if (v.is_null()) return std::monostate{};
  if (v.is_string()) return Utf8ToWide(v.get<std::string>());
  if (v.is_boolean()) return v.get<bool>();
  if (v.is_number_unsigned()) {
    const auto n = v.get<std::uint64_t>();
    if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      Fail(origin, path, "a number above 9223372036854775807 must be written as a string");
    }
    return static_cast<std::int64_t>(n);
  }
  if (v.is_number_integer()) return v.get<std::int64_t>();
  if (v.is_array()) {
    bool strings = true;
    bool integers = true;
    for (const auto& e : v) {
      strings = strings && e.is_string();
      integers = integers && e.is_number_integer();
    }
    if (strings) {
      std::vector<std::wstring> out;
      for (const auto& e : v) out.push_back(Utf8ToWide(e.get<std::string>()));
      return out;
    }
    if (integers) {
      std::vector<std::int64_t> out;
      for (std::size_t i = 0; i < v.size(); ++i) {
        const auto n = v[i].get<std::int64_t>();
        if (v[i].is_number_unsigned() && v[i].get<std::uint64_t>() > std::numeric_limits<std::int32_t>::max()) {
          Fail(origin, path + "[" + std::to_string(i) + "]", "array elements must fit in 32 bits");
        }
        if (n < std::numeric_limits<std::int32_t>::min() || n > std::numeric_limits<std::int32_t>::max()) {
          Fail(origin, path + "[" + std::to_string(i) + "]", "array elements must fit in 32 bits");
        }
        out.push_back(n);
      }
      return out;
    }
    Fail(origin, path, "an array must hold only strings or only integers");
  }
  Fail(origin, path, "a property value must be a string, a number, a bool, an array or null");
}

Property ParseProperty(const std::string& name, const nlohmann::json& v, const std::string& origin,
                       const std::string& path) {
  Property property;
  property.name = Utf8ToWide(name);
  if (!v.is_object()) {
    property.value = ParseValue(v, origin, path);
    return property;
  }
  if (!v.contains("value")) Fail(origin, path, "a property written as an object needs \"value\" (and \"fault\")");
  for (const auto& [key, value] : v.items()) {
    if (key == "value") {
      property.value = ParseValue(value, origin, path + ".value");
    } else if (key == "fault") {
      property.fault =
          ParseFault(value, origin, path + ".fault",
                     {{"fail", Fault::Kind::Fail}, {"throw", Fault::Kind::Throw}, {"empty", Fault::Kind::Empty}});
    } else {
      Fail(origin, path + "." + key, "is not a property setting (value, fault)");
    }
  }
  return property;
}

bool IsName(std::wstring_view name) {
  if (name.empty()) return false;
  for (wchar_t c : name) {
    if (!(std::iswalnum(static_cast<wint_t>(c)) || c == L'_')) return false;
  }
  return true;
}

std::string Index(const std::string& path, std::size_t i) {
  return path + "[" + std::to_string(i) + "]";
}

}  // namespace

HRESULT ParseHr(const nlohmann::json& v, const std::string& origin, const std::string& path) {
  if (v.is_number_integer()) {
    const auto n = v.get<std::int64_t>();
    if (n < std::numeric_limits<std::int32_t>::min() || n > std::numeric_limits<std::uint32_t>::max()) {
      Fail(origin, path, "an HRESULT must fit in 32 bits");
    }
    return static_cast<HRESULT>(static_cast<std::uint32_t>(n));
  }
  if (v.is_string()) {
    const auto text = v.get<std::string>();
    std::size_t used = 0;
    unsigned long long n = 0;
    try {
      n = std::stoull(text, &used, 0);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != text.size() || n > std::numeric_limits<std::uint32_t>::max()) {
      Fail(origin, path, "\"" + text + "\" is not an HRESULT (write it like \"0x80041001\")");
    }
    return static_cast<HRESULT>(static_cast<std::uint32_t>(n));
  }
  Fail(origin, path, "an HRESULT must be a number or a text like \"0x80041001\"");
}

std::wstring NormalizeNamespace(std::wstring_view name) {
  std::wstring out(name);
  for (auto& c : out) {
    if (c == L'/') c = L'\\';
  }
  // "\\.\ROOT\x" and "\\localhost\ROOT\x" are the local machine.
  if (out.rfind(L"\\\\", 0) == 0) {
    const auto end = out.find(L'\\', 2);
    const auto server = ToUpper(out.substr(2, end == std::wstring::npos ? std::wstring::npos : end - 2));
    if (server == L"." || server == L"LOCALHOST") out = end == std::wstring::npos ? L"" : out.substr(end + 1);
  }
  return ToUpper(out);
}

const Property* Object::Find(std::wstring_view name) const {
  for (const auto& p : properties) {
    if (EqualsNoCase(p.name, name)) return &p;
  }
  return nullptr;
}

bool Class::HasProperty(std::wstring_view name) const {
  for (const auto& o : objects) {
    if (o.Find(name) != nullptr) return true;
  }
  return false;
}

const Class* Namespace::Find(std::wstring_view name) const {
  for (const auto& c : classes) {
    if (EqualsNoCase(c.name, name)) return &c;
  }
  return nullptr;
}

const Namespace* Repository::Find(std::wstring_view name) const {
  const auto wanted = NormalizeNamespace(name);
  for (const auto& n : namespaces) {
    if (NormalizeNamespace(n.name) == wanted) return &n;
  }
  return nullptr;
}

Repository ParseRepository(const nlohmann::json& wmi, const std::string& origin) {
  Repository repo;
  if (wmi.is_null()) return repo;
  const std::string root = "wmi";
  if (!wmi.is_object()) Fail(origin, root, "must be an object");
  for (const auto& [key, value] : wmi.items()) {
    const std::string path = root + "." + key;
    if (key == "namespaces") {
      if (!value.is_object()) Fail(origin, path, "must be an object of namespaces");
      for (const auto& [nsName, nsValue] : value.items()) {
        const std::string nsPath = path + "[" + Quoted(nsName) + "]";
        if (!nsValue.is_object()) Fail(origin, nsPath, "must be an object with \"classes\"");
        Namespace ns;
        ns.name = Utf8ToWide(nsName);
        if (ns.name.empty() || NormalizeNamespace(ns.name).empty()) Fail(origin, nsPath, "a namespace needs a name");
        if (repo.Find(ns.name) != nullptr) Fail(origin, nsPath, "names a namespace given before");
        for (const auto& [nsKey, nsItem] : nsValue.items()) {
          const std::string itemPath = nsPath + "." + nsKey;
          if (nsKey == "classes") {
            if (!nsItem.is_object()) Fail(origin, itemPath, "must be an object of classes");
            for (const auto& [className, objects] : nsItem.items()) {
              const std::string classPath = itemPath + "." + className;
              Class cls;
              cls.name = Utf8ToWide(className);
              if (!IsName(cls.name)) Fail(origin, classPath, "is not a class name");
              if (ns.Find(cls.name) != nullptr) Fail(origin, classPath, "names a class given before");
              if (!objects.is_array()) Fail(origin, classPath, "must be a list of objects");
              for (std::size_t i = 0; i < objects.size(); ++i) {
                const std::string objectPath = Index(classPath, i);
                if (!objects[i].is_object()) Fail(origin, objectPath, "an object must be a JSON object of properties");
                Object object;
                for (const auto& [propName, propValue] : objects[i].items()) {
                  const std::string propPath = objectPath + "." + propName;
                  if (!IsName(Utf8ToWide(propName))) Fail(origin, propPath, "is not a property name");
                  if (object.Find(Utf8ToWide(propName)) != nullptr) {
                    Fail(origin, propPath, "names a property given before");
                  }
                  object.properties.push_back(ParseProperty(propName, propValue, origin, propPath));
                }
                cls.objects.push_back(std::move(object));
              }
              ns.classes.push_back(std::move(cls));
            }
          } else if (nsKey == "connectFault") {
            ns.connectFault = ParseFault(nsItem, origin, itemPath,
                                         {{"fail", Fault::Kind::Fail}, {"noObject", Fault::Kind::NoObject}});
          } else if (nsKey == "blanketFault") {
            ns.blanketFault = ParseFault(nsItem, origin, itemPath, {{"fail", Fault::Kind::Fail}});
          } else {
            Fail(origin, itemPath, "is not a namespace setting (classes, connectFault, blanketFault)");
          }
        }
        repo.namespaces.push_back(std::move(ns));
      }
    } else if (key == "locatorFault") {
      repo.locatorFault = ParseFault(value, origin, path, {{"fail", Fault::Kind::Fail}});
    } else if (key == "queryFaults") {
      if (!value.is_array()) Fail(origin, path, "must be a list");
      for (std::size_t i = 0; i < value.size(); ++i) {
        const std::string qPath = Index(path, i);
        const auto& q = value[i];
        if (!q.is_object()) Fail(origin, qPath, "must be an object with namespace, class and fault");
        QueryFault qf;
        bool haveFault = false;
        for (const auto& [qKey, qValue] : q.items()) {
          const std::string itemPath = qPath + "." + qKey;
          if (qKey == "fault") {
            qf.fault = ParseFault(qValue, origin, itemPath,
                                  {{"fail", Fault::Kind::Fail},
                                   {"failNext", Fault::Kind::FailNext},
                                   {"noEnumerator", Fault::Kind::NoEnumerator}});
            haveFault = true;
          } else if (qKey == "namespace" || qKey == "class" || qKey == "query") {
            if (!qValue.is_string()) Fail(origin, itemPath, "must be a string");
            auto text = Utf8ToWide(qValue.get<std::string>());
            if (qKey == "namespace") qf.nameSpace = text;
            if (qKey == "class") qf.className = text;
            if (qKey == "query") qf.text = text;
          } else {
            Fail(origin, itemPath, "is not a query fault setting (namespace, class, query, fault)");
          }
        }
        if (qf.nameSpace.empty()) Fail(origin, qPath + ".namespace", "is missing");
        if (qf.className.empty() && !qf.text) Fail(origin, qPath, "needs \"class\" or \"query\"");
        if (!haveFault) Fail(origin, qPath + ".fault", "is missing");
        repo.queryFaults.push_back(std::move(qf));
      }
    } else {
      Fail(origin, path, "is not a WMI setting (namespaces, locatorFault, queryFaults)");
    }
  }
  return repo;
}

void ValidateProfile(const nlohmann::json& profile, const std::string& origin) {
  if (profile.contains("wmi")) (void)ParseRepository(profile["wmi"], origin);
}

// --- WQL ---------------------------------------------------------------------------------

namespace {

struct Token {
  enum class Type { Name, Star, Comma, Equals, Text, End, Bad };
  Type type;
  std::wstring text;
};

class Lexer {
 public:
  explicit Lexer(std::wstring_view text) : text_(text) {}

  Token Next() {
    while (pos_ < text_.size() && std::iswspace(static_cast<wint_t>(text_[pos_]))) ++pos_;
    if (pos_ == text_.size()) return {Token::Type::End, {}};
    const wchar_t c = text_[pos_];
    if (c == L'*') return Single(Token::Type::Star);
    if (c == L',') return Single(Token::Type::Comma);
    if (c == L'=') return Single(Token::Type::Equals);
    if (c == L'\'' || c == L'"') {
      const auto end = text_.find(c, pos_ + 1);
      if (end == std::wstring_view::npos) return {Token::Type::Bad, {}};
      Token t{Token::Type::Text, std::wstring(text_.substr(pos_ + 1, end - pos_ - 1))};
      pos_ = end + 1;
      return t;
    }
    if (std::iswalpha(static_cast<wint_t>(c)) || c == L'_') {
      const auto start = pos_;
      while (pos_ < text_.size() && (std::iswalnum(static_cast<wint_t>(text_[pos_])) || text_[pos_] == L'_')) ++pos_;
      return {Token::Type::Name, std::wstring(text_.substr(start, pos_ - start))};
    }
    return {Token::Type::Bad, {}};
  }

 private:
  Token Single(Token::Type type) {
    ++pos_;
    return {type, {}};
  }
  std::wstring_view text_;
  std::size_t pos_ = 0;
};

bool IsKeyword(const Token& t, std::wstring_view keyword) {
  return t.type == Token::Type::Name && EqualsNoCase(t.text, keyword);
}

bool IsReserved(const Token& t) {
  for (auto word : {L"SELECT", L"FROM", L"WHERE", L"AND", L"OR", L"NOT", L"LIKE", L"ISA", L"IS", L"NULL"}) {
    if (IsKeyword(t, word)) return true;
  }
  return false;
}

}  // namespace

std::optional<Query> ParseWql(std::wstring_view text) {
  Lexer lexer(text);
  Query query;
  if (!IsKeyword(lexer.Next(), L"SELECT")) return std::nullopt;
  Token t = lexer.Next();
  if (t.type == Token::Type::Star) {
    t = lexer.Next();
  } else {
    for (;;) {
      if (t.type != Token::Type::Name || IsReserved(t)) return std::nullopt;
      query.columns.push_back(t.text);
      t = lexer.Next();
      if (t.type != Token::Type::Comma) break;
      t = lexer.Next();
    }
  }
  if (!IsKeyword(t, L"FROM")) return std::nullopt;
  t = lexer.Next();
  if (t.type != Token::Type::Name || IsReserved(t)) return std::nullopt;
  query.className = t.text;
  t = lexer.Next();
  if (IsKeyword(t, L"WHERE")) {
    t = lexer.Next();
    if (t.type != Token::Type::Name || IsReserved(t)) return std::nullopt;
    query.whereProperty = t.text;
    if (lexer.Next().type != Token::Type::Equals) return std::nullopt;
    t = lexer.Next();
    if (t.type != Token::Type::Text) return std::nullopt;
    query.whereValue = t.text;
    t = lexer.Next();
  }
  if (t.type != Token::Type::End) return std::nullopt;
  return query;
}

}  // namespace platform::wmi::detail
