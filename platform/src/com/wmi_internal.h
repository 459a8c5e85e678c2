// The WMI repository as read from the machine profile, its faults, and the WQL
// subset. Shared by wmi.cpp and its tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/wmi.h"

namespace platform::wmi::detail {

// Checks the "wmi" section of a profile; throws MachineError naming the JSON path.
void ValidateProfile(const nlohmann::json& profile, const std::string& origin);

// An HRESULT of a profile: a number (-2147483648 ... 4294967295) or a text such as
// "0x80041001". Throws MachineError naming `path` otherwise. Every fault of a profile
// writes its code this way.
HRESULT ParseHr(const nlohmann::json& v, const std::string& origin, const std::string& path);

struct Fault {
  enum class Kind { Fail, Throw, Empty, NoObject, FailNext, NoEnumerator };
  Kind kind = Kind::Fail;
  HRESULT hr = WBEM_E_FAILED;
  std::optional<std::uint64_t> count;  // none: every use
  std::string key;                     // the JSON path, which also names its counter
};

using Value = std::variant<std::monostate, std::wstring, std::int64_t, bool, std::vector<std::wstring>,
                           std::vector<std::int64_t>>;

struct Property {
  std::wstring name;
  Value value;
  std::optional<Fault> fault;
};

struct Object {
  std::vector<Property> properties;
  const Property* Find(std::wstring_view name) const;
};

struct Class {
  std::wstring name;
  std::vector<Object> objects;
  bool HasProperty(std::wstring_view name) const;
};

struct Namespace {
  std::wstring name;
  std::vector<Class> classes;
  std::optional<Fault> connectFault;
  std::optional<Fault> blanketFault;
  const Class* Find(std::wstring_view name) const;
};

struct QueryFault {
  std::wstring nameSpace;
  std::wstring className;
  std::optional<std::wstring> text;  // exact query text; none: every query of the class
  Fault fault;
};

struct Repository {
  std::vector<Namespace> namespaces;
  std::optional<Fault> locatorFault;
  std::vector<QueryFault> queryFaults;
  // "ROOT\\x", "root/x" and "\\\\.\\ROOT\\x" name the same namespace.
  const Namespace* Find(std::wstring_view name) const;
};

// Reads the "wmi" section (null: an empty repository). Throws MachineError naming
// the JSON path of the first problem.
Repository ParseRepository(const nlohmann::json& wmi, const std::string& origin);

struct Query {
  std::wstring className;
  std::vector<std::wstring> columns;  // empty: "*"
  std::optional<std::wstring> whereProperty;
  std::wstring whereValue;
};

// The WQL subset; none when the text is outside it.
std::optional<Query> ParseWql(std::wstring_view text);

// The namespace path without a local-server prefix, separators as '\\', upper case.
std::wstring NormalizeNamespace(std::wstring_view name);

}  // namespace platform::wmi::detail
