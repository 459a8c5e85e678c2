// The interface-definition subset the stub generator understands, and what it emits.
// The subset is exactly what our local interface needs: one interface with uuid and
// version, context-handle typedefs, and procedures returning void or long whose
// parameters are binding handles, context handles, longs and out arrays of 16-bit
// characters sized by another parameter. Anything else is refused with its line.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace idlgen {

enum class ParamKind { BindingHandle, ContextIn, ContextOut, ContextInOut, LongIn, LongOut, WideArrayOut };

struct Param {
  ParamKind kind;
  std::string name;
  std::string type;    // the type as written (handle_t, long, wchar_t or a context handle type)
  int sizeParam = -1;  // WideArrayOut: index of the count parameter
};

struct Procedure {
  std::string name;
  bool returnsLong = false;
  std::vector<Param> params;
  int line = 0;
};

struct ContextHandleType {
  std::string name;
  bool noSerialize = false;
};

struct Interface {
  std::string name;
  std::string uuid;  // lower case, 8-4-4-4-12
  unsigned major = 0;
  unsigned minor = 0;
  std::vector<ContextHandleType> contextTypes;
  std::vector<Procedure> procedures;
};

struct ParseResult {
  std::optional<Interface> interface;
  std::string error;  // "<file>:<line>: <message>" when interface is empty
};

ParseResult Parse(const std::string& text, const std::string& fileName);

struct EmitOptions {
  std::string baseName;         // output files are <base>.h, <base>_server.h, <base>_*.cpp
  std::string serverNamespace;  // namespace of the server routines; empty: global
};

struct EmittedFile {
  std::string name;
  std::string text;
};

std::vector<EmittedFile> Emit(const Interface& interface, const EmitOptions& options);

}  // namespace idlgen
