#include "tools/idlgen/idl.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>
#include <stdexcept>

namespace idlgen {
namespace {

struct Token {
  std::string text;
  int line = 0;
  bool word = false;  // identifier or number
};

struct ParseError : std::runtime_error {
  ParseError(int l, const std::string& message) : std::runtime_error(message), line(l) {}
  int line;
};

std::vector<Token> Lex(const std::string& text) {
  std::vector<Token> tokens;
  int line = 1;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\n') {
      ++line;
      ++i;
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
      while (i < text.size() && text[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
      const int start = line;
      i += 2;
      while (i + 1 < text.size() && !(text[i] == '*' && text[i + 1] == '/')) {
        if (text[i] == '\n') ++line;
        ++i;
      }
      if (i + 1 >= text.size()) throw ParseError(start, "unterminated comment");
      i += 2;
    } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
      std::size_t j = i;
      while (j < text.size() && (std::isalnum(static_cast<unsigned char>(text[j])) || text[j] == '_')) ++j;
      tokens.push_back({text.substr(i, j - i), line, true});
      i = j;
    } else if (std::string_view("[](){},;*.-").find(c) != std::string_view::npos) {
      tokens.push_back({std::string(1, c), line, false});
      ++i;
    } else {
      throw ParseError(line, std::string("unexpected character '") + c + "'");
    }
  }
  return tokens;
}

bool IsIdentifier(const Token& t) {
  return t.word && (std::isalpha(static_cast<unsigned char>(t.text[0])) || t.text[0] == '_');
}

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  Interface ParseInterface() {
    Interface itf;
    bool haveUuid = false;
    bool haveVersion = false;
    Expect("[");
    while (true) {
      const Token attr = Next("an interface attribute");
      if (attr.text == "uuid") {
        if (haveUuid) throw ParseError(attr.line, "uuid given twice");
        Expect("(");
        std::string uuid;
        while (Peek().text != ")") uuid += Next("the uuid").text;
        Expect(")");
        itf.uuid = CheckUuid(uuid, attr.line);
        haveUuid = true;
      } else if (attr.text == "version") {
        if (haveVersion) throw ParseError(attr.line, "version given twice");
        Expect("(");
        itf.major = Number(Next("a major version"));
        Expect(".");
        itf.minor = Number(Next("a minor version"));
        Expect(")");
        haveVersion = true;
      } else if (attr.text == "pointer_default") {
        Expect("(");
        const Token kind = Next("a pointer kind");
        if (kind.text != "unique" && kind.text != "ref") {
          throw ParseError(kind.line, "pointer_default(" + kind.text + ") is not supported");
        }
        Expect(")");
      } else {
        throw ParseError(attr.line, "unsupported interface attribute '" + attr.text + "'");
      }
      const Token sep = Next("',' or ']'");
      if (sep.text == "]") break;
      if (sep.text != ",") throw ParseError(sep.line, "expected ',' or ']' after an attribute");
      if (Peek().text == "]") {
        Next("]");
        break;
      }
    }
    if (!haveUuid) throw ParseError(Peek().line, "the interface has no uuid");
    if (!haveVersion) throw ParseError(Peek().line, "the interface has no version");
    const Token kw = Next("'interface'");
    if (kw.text != "interface") throw ParseError(kw.line, "expected 'interface', found '" + kw.text + "'");
    itf.name = Identifier("the interface name");
    Expect("{");
    while (Peek().text != "}") {
      if (Peek().text == "typedef") {
        ParseTypedef(itf);
      } else {
        ParseProcedure(itf);
      }
    }
    Expect("}");
    if (pos_ < tokens_.size() && tokens_[pos_].text == ";") ++pos_;
    if (pos_ < tokens_.size()) {
      throw ParseError(tokens_[pos_].line, "only one interface per file is supported");
    }
    if (itf.procedures.empty()) throw ParseError(lastLine_, "the interface has no procedures");
    return itf;
  }

 private:
  const Token& Peek() {
    if (pos_ >= tokens_.size()) throw ParseError(lastLine_, "unexpected end of file");
    return tokens_[pos_];
  }
  Token Next(const std::string& what) {
    if (pos_ >= tokens_.size()) throw ParseError(lastLine_, "unexpected end of file, expected " + what);
    lastLine_ = tokens_[pos_].line;
    return tokens_[pos_++];
  }
  void Expect(const std::string& text) {
    const Token t = Next("'" + text + "'");
    if (t.text != text) throw ParseError(t.line, "expected '" + text + "', found '" + t.text + "'");
  }
  std::string Identifier(const std::string& what) {
    const Token t = Next(what);
    if (!IsIdentifier(t)) throw ParseError(t.line, "expected " + what + ", found '" + t.text + "'");
    return t.text;
  }
  static unsigned Number(const Token& t) {
    if (!t.word || !std::all_of(t.text.begin(), t.text.end(), [](char c) { return std::isdigit(c); }) ||
        t.text.size() > 5) {
      throw ParseError(t.line, "expected a number, found '" + t.text + "'");
    }
    const unsigned v = static_cast<unsigned>(std::stoul(t.text));
    if (v > 0xFFFF) throw ParseError(t.line, "version number out of range");
    return v;
  }
  static std::string CheckUuid(std::string uuid, int line) {
    std::transform(uuid.begin(), uuid.end(), uuid.begin(), [](unsigned char c) { return std::tolower(c); });
    static const std::size_t groups[] = {8, 4, 4, 4, 12};
    std::size_t at = 0;
    for (std::size_t g = 0; g < 5; ++g) {
      for (std::size_t k = 0; k < groups[g]; ++k, ++at) {
        if (at >= uuid.size() || !std::isxdigit(static_cast<unsigned char>(uuid[at]))) {
          throw ParseError(line, "malformed uuid '" + uuid + "'");
        }
      }
      if (g < 4 && (at >= uuid.size() || uuid[at++] != '-')) throw ParseError(line, "malformed uuid '" + uuid + "'");
    }
    if (at != uuid.size()) throw ParseError(line, "malformed uuid '" + uuid + "'");
    return uuid;
  }

  const ContextHandleType* FindContextType(const Interface& itf, const std::string& name) {
    for (const auto& t : itf.contextTypes) {
      if (t.name == name) return &t;
    }
    return nullptr;
  }

  void CheckNewName(const Interface& itf, const std::string& name, int line) {
    if (FindContextType(itf, name) ||
        std::any_of(itf.procedures.begin(), itf.procedures.end(), [&](const Procedure& p) { return p.name == name; })) {
      throw ParseError(line, "'" + name + "' is defined twice");
    }
  }

  void ParseTypedef(Interface& itf) {
    const Token kw = Next("typedef");
    if (!itf.contextTypes.empty()) throw ParseError(kw.line, "only one context handle type is supported");
    Expect("[");
    ContextHandleType type;
    bool context = false;
    while (true) {
      const Token attr = Next("a type attribute");
      if (attr.text == "context_handle") {
        context = true;
      } else if (attr.text == "context_handle_noserialize") {
        type.noSerialize = true;
      } else {
        throw ParseError(attr.line, "unsupported type attribute '" + attr.text + "'");
      }
      const Token sep = Next("',' or ']'");
      if (sep.text == "]") break;
      if (sep.text != ",") throw ParseError(sep.line, "expected ',' or ']' in type attributes");
    }
    if (!context) throw ParseError(kw.line, "only context handle typedefs are supported");
    const Token base = Next("void");
    if (base.text != "void") throw ParseError(base.line, "a context handle must be declared as void*");
    Expect("*");
    const int line = Peek().line;
    type.name = Identifier("the type name");
    CheckNewName(itf, type.name, line);
    Expect(";");
    itf.contextTypes.push_back(type);
  }

  void ParseProcedure(Interface& itf) {
    Procedure proc;
    const Token ret = Next("a procedure");
    proc.line = ret.line;
    if (ret.text == "long") {
      proc.returnsLong = true;
    } else if (ret.text != "void") {
      throw ParseError(ret.line, "unsupported return type '" + ret.text + "' (void or long)");
    }
    proc.name = Identifier("the procedure name");
    CheckNewName(itf, proc.name, ret.line);
    Expect("(");
    if (Peek().text == "void") {
      throw ParseError(Peek().line, "procedure '" + proc.name + "' has no binding handle");
    }
    while (Peek().text != ")") {
      ParseParam(itf, proc);
      if (Peek().text == ",")
        Next(",");
      else if (Peek().text != ")")
        throw ParseError(Peek().line, "expected ',' or ')' after a parameter");
    }
    Expect(")");
    Expect(";");
    if (proc.params.empty()) throw ParseError(proc.line, "procedure '" + proc.name + "' has no binding handle");
    const ParamKind first = proc.params[0].kind;
    if (first != ParamKind::BindingHandle && first != ParamKind::ContextIn && first != ParamKind::ContextInOut) {
      throw ParseError(proc.line,
                       "procedure '" + proc.name + "' must take a binding handle or an [in] context handle first");
    }
    itf.procedures.push_back(std::move(proc));
  }

  void ParseParam(const Interface& itf, Procedure& proc) {
    const int line = Peek().line;
    Expect("[");
    bool in = false, out = false;
    std::string sizeIs;
    int sizeLine = 0;
    while (true) {
      const Token attr = Next("a parameter attribute");
      if (attr.text == "in") {
        in = true;
      } else if (attr.text == "out") {
        out = true;
      } else if (attr.text == "size_is") {
        // Only the form size_is(, *count): the array behind the second pointer level.
        sizeLine = attr.line;
        Expect("(");
        Expect(",");
        Expect("*");
        sizeIs = Identifier("the count parameter");
        Expect(")");
      } else {
        throw ParseError(attr.line, "unsupported parameter attribute '" + attr.text + "'");
      }
      const Token sep = Next("',' or ']'");
      if (sep.text == "]") break;
      if (sep.text != ",") throw ParseError(sep.line, "expected ',' or ']' in parameter attributes");
    }
    if (!in && !out) throw ParseError(line, "a parameter needs [in] or [out]");
    Param p;
    const Token type = Next("a parameter type");
    p.type = type.text;
    int stars = 0;
    while (Peek().text == "*") {
      Next("*");
      ++stars;
    }
    p.name = Identifier("the parameter name");
    for (const auto& other : proc.params) {
      if (other.name == p.name) throw ParseError(line, "parameter '" + p.name + "' given twice");
    }
    const bool isContext = FindContextType(itf, type.text) != nullptr;
    auto refuse = [&] {
      throw ParseError(line, "unsupported parameter shape for '" + p.name + "' (type " + type.text +
                                 std::string(static_cast<std::size_t>(stars), '*') + ")");
    };
    if (!sizeIs.empty() && !(type.text == "wchar_t" && stars == 2)) {
      throw ParseError(sizeLine, "size_is is only supported on wchar_t** out parameters");
    }
    if (type.text == "handle_t") {
      if (stars != 0 || !in || out) refuse();
      if (!proc.params.empty()) throw ParseError(line, "the binding handle must be the first parameter");
      p.kind = ParamKind::BindingHandle;
    } else if (isContext) {
      if (stars == 0 && in && !out)
        p.kind = ParamKind::ContextIn;
      else if (stars == 1 && out && !in)
        p.kind = ParamKind::ContextOut;
      else if (stars == 1 && in && out)
        p.kind = ParamKind::ContextInOut;
      else
        refuse();
    } else if (type.text == "long") {
      if (stars == 0 && in && !out)
        p.kind = ParamKind::LongIn;
      else if (stars == 1 && out && !in)
        p.kind = ParamKind::LongOut;
      else
        refuse();
    } else if (type.text == "wchar_t") {
      if (stars != 2 || in || !out) refuse();
      if (sizeIs.empty()) throw ParseError(line, "'" + p.name + "' needs size_is(, *count)");
      for (std::size_t i = 0; i < proc.params.size(); ++i) {
        if (proc.params[i].name == sizeIs) {
          if (proc.params[i].kind != ParamKind::LongOut) {
            throw ParseError(sizeLine, "the count '" + sizeIs + "' must be an [out] long*");
          }
          p.sizeParam = static_cast<int>(i);
        }
      }
      if (p.sizeParam < 0) throw ParseError(sizeLine, "the count '" + sizeIs + "' is not an earlier parameter");
      p.kind = ParamKind::WideArrayOut;
    } else {
      throw ParseError(type.line, "unsupported type '" + type.text + "'");
    }
    proc.params.push_back(p);
  }

  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
  int lastLine_ = 1;
};

// --- Emitting ---------------------------------------------------------------------------------

const char* KindName(ParamKind k) {
  switch (k) {
    case ParamKind::BindingHandle:
      return "BindingHandle";
    case ParamKind::ContextIn:
      return "ContextIn";
    case ParamKind::ContextOut:
      return "ContextOut";
    case ParamKind::ContextInOut:
      return "ContextInOut";
    case ParamKind::LongIn:
      return "LongIn";
    case ParamKind::LongOut:
      return "LongOut";
    case ParamKind::WideArrayOut:
      return "WideArrayOut";
  }
  return "";
}

std::string CType(const Param& p) {
  switch (p.kind) {
    case ParamKind::BindingHandle:
      return "::platform::handle_t";
    case ParamKind::ContextIn:
      return p.type;
    case ParamKind::ContextOut:
    case ParamKind::ContextInOut:
      return p.type + "*";
    case ParamKind::LongIn:
      return "::platform::LONG";
    case ParamKind::LongOut:
      return "::platform::LONG*";
    case ParamKind::WideArrayOut:
      return "char16_t**";
  }
  return "";
}

std::string Signature(const Procedure& proc) {
  std::string s = std::string(proc.returnsLong ? "::platform::LONG " : "void ") + proc.name + "(";
  for (std::size_t i = 0; i < proc.params.size(); ++i) {
    if (i) s += ", ";
    s += CType(proc.params[i]) + " " + proc.params[i].name;
  }
  return s + ")";
}

std::string GuidInitializer(const std::string& uuid) {
  // 8-4-4-4-12 -> {0xd1, 0xd2, 0xd3, {b0, ..., b7}}
  std::string hex;
  for (char c : uuid) {
    if (c != '-') hex += c;
  }
  std::ostringstream s;
  s << "{0x" << hex.substr(0, 8) << ", 0x" << hex.substr(8, 4) << ", 0x" << hex.substr(12, 4) << ", {";
  for (int i = 0; i < 8; ++i) s << (i ? ", " : "") << "0x" << hex.substr(16 + 2 * i, 2);
  s << "}}";
  return s.str();
}

}  // namespace

ParseResult Parse(const std::string& text, const std::string& fileName) {
  try {
    Parser parser(Lex(text));
    return {parser.ParseInterface(), {}};
  } catch (const ParseError& e) {
    return {std::nullopt, fileName + ":" + std::to_string(e.line) + ": " + e.what()};
  }
}

std::vector<EmittedFile> Emit(const Interface& itf, const EmitOptions& options) {
  const std::string banner =
      "// Generated by idlgen from the interface definition " + options.baseName + ".idl; do not edit.\n";
  const std::string prefix = itf.name + "_v" + std::to_string(itf.major) + "_" + std::to_string(itf.minor);
  const std::string ns = options.serverNamespace;
  std::vector<EmittedFile> files;

  {  // Common header: types and the client procedures.
    std::ostringstream h;
    h << banner << "#pragma once\n\n#include \"platform/rpc.h\"\n\n";
    for (const auto& t : itf.contextTypes) h << "using " << t.name << " = void*;  // context handle\n";
    h << "\n// Interface identity, transfer syntaxes and the format of every procedure.\n";
    h << "extern const ::platform::RPC_INTERFACE_INFO " << prefix << "_info;\n";
    h << "extern const ::platform::RPC_CLIENT_INTERFACE " << prefix << "_client;\n";
    h << "extern const ::platform::RPC_IF_HANDLE " << prefix << "_c_ifspec;\n\n";
    h << "// Client stubs: raise the call's failure or fault as platform::RpcRaisedException.\n";
    for (const auto& p : itf.procedures) h << Signature(p) << ";\n";
    h << "\n// The client procedure entries in dispatch order.\nstruct " << itf.name << "ClientEntry {\n"
      << "  const char* name;\n  unsigned opnum;\n};\n";
    h << "extern const " << itf.name << "ClientEntry " << prefix << "_client_entries[" << itf.procedures.size()
      << "];\n";
    files.push_back({options.baseName + ".h", h.str()});
  }
  {  // Server header.
    std::ostringstream h;
    h << banner << "#pragma once\n\n#include \"" << options.baseName << ".h\"\n\n";
    h << "extern const ::platform::RPC_SERVER_INTERFACE " << prefix << "_server;\n";
    h << "extern const ::platform::RPC_IF_HANDLE " << prefix << "_s_ifspec;\n\n";
    if (!ns.empty()) h << "namespace " << ns << " {\n\n";
    h << "// Server routines: the server defines them.\n";
    for (const auto& p : itf.procedures) h << Signature(p) << ";\n";
    for (const auto& t : itf.contextTypes) h << "void " << t.name << "_rundown(" << t.name << " context);\n";
    if (!ns.empty()) h << "\n}  // namespace " << ns << "\n";
    files.push_back({options.baseName + "_server.h", h.str()});
  }
  {  // Common tables.
    std::ostringstream c;
    c << banner << "#include \"" << options.baseName << ".h\"\n\nnamespace {\n\n";
    c << "using ::platform::NdrParamKind;\n\n";
    c << "constexpr ::platform::RPC_SYNTAX_IDENTIFIER kTransferSyntaxes[] = {::platform::NDR20_TRANSFER_SYNTAX,\n"
      << "                                                               ::platform::NDR64_TRANSFER_SYNTAX};\n\n";
    for (const auto& p : itf.procedures) {
      c << "constexpr ::platform::NdrParamFormat k" << p.name << "Params[] = {\n";
      for (const auto& a : p.params) {
        c << "    {NdrParamKind::" << KindName(a.kind) << ", " << a.sizeParam << ", \"" << a.name << "\"},\n";
      }
      c << "};\n";
    }
    c << "\nconstexpr ::platform::NdrProcFormat kProcs[] = {\n";
    for (std::size_t i = 0; i < itf.procedures.size(); ++i) {
      const auto& p = itf.procedures[i];
      c << "    {\"" << p.name << "\", " << i << ", 0, " << (p.returnsLong ? "true" : "false") << ", "
        << p.params.size() << ", k" << p.name << "Params},\n";
    }
    c << "};\n\n}  // namespace\n\n";
    const bool noSerialize = std::any_of(itf.contextTypes.begin(), itf.contextTypes.end(),
                                         [](const ContextHandleType& t) { return t.noSerialize; });
    c << "const ::platform::RPC_INTERFACE_INFO " << prefix << "_info = {\n"
      << "    {" << GuidInitializer(itf.uuid) << ", {" << itf.major << ", " << itf.minor << "}},\n"
      << "    kTransferSyntaxes, 2, kProcs, " << itf.procedures.size() << ", " << (noSerialize ? "true" : "false")
      << "};\n";
    files.push_back({options.baseName + "_contract.cpp", c.str()});
  }
  {  // Client half.
    std::ostringstream c;
    c << banner << "#include \"" << options.baseName << ".h\"\n\n";
    c << "const ::platform::RPC_CLIENT_INTERFACE " << prefix << "_client = {sizeof(::platform::RPC_CLIENT_INTERFACE), &"
      << prefix << "_info};\n";
    c << "const ::platform::RPC_IF_HANDLE " << prefix << "_c_ifspec = &" << prefix << "_client;\n\n";
    c << "const " << itf.name << "ClientEntry " << prefix << "_client_entries[" << itf.procedures.size() << "] = {\n";
    for (std::size_t i = 0; i < itf.procedures.size(); ++i) {
      c << "    {\"" << itf.procedures[i].name << "\", " << i << "},\n";
    }
    c << "};\n";
    for (std::size_t i = 0; i < itf.procedures.size(); ++i) {
      const auto& p = itf.procedures[i];
      c << "\n" << Signature(p) << " {\n  void* args[] = {";
      for (std::size_t k = 0; k < p.params.size(); ++k) c << (k ? ", " : "") << "&" << p.params[k].name;
      c << "};\n";
      if (p.returnsLong) {
        c << "  ::platform::LONG result = 0;\n  ::platform::NdrClientCall(&" << prefix << "_client, " << i
          << ", args, &result);\n  return result;\n";
      } else {
        c << "  ::platform::NdrClientCall(&" << prefix << "_client, " << i << ", args, nullptr);\n";
      }
      c << "}\n";
    }
    files.push_back({options.baseName + "_client.cpp", c.str()});
  }
  {  // Server half.
    std::ostringstream c;
    const std::string q = ns.empty() ? "::" : "::" + ns + "::";
    c << banner << "#include \"" << options.baseName << "_server.h\"\n\nnamespace {\n";
    for (const auto& p : itf.procedures) {
      c << "\nvoid Dispatch" << p.name << "(void** args, ::platform::LONG* result) {\n  ";
      c << (p.returnsLong ? "*result = " : "static_cast<void>(result);\n  ") << q << p.name << "(";
      for (std::size_t k = 0; k < p.params.size(); ++k) {
        c << (k ? ", " : "") << "*static_cast<" << CType(p.params[k]) << "*>(args[" << k << "])";
      }
      c << ");\n}\n";
    }
    c << "\nconstexpr ::platform::NdrServerRoutine kDispatchTable[] = {\n";
    for (const auto& p : itf.procedures) c << "    Dispatch" << p.name << ",\n";
    c << "};\n\nvoid Rundown(void* context) {\n";
    if (!itf.contextTypes.empty())
      c << "  " << q << itf.contextTypes[0].name << "_rundown(context);\n";
    else
      c << "  static_cast<void>(context);\n";
    c << "}\n\n}  // namespace\n\n";
    c << "const ::platform::RPC_SERVER_INTERFACE " << prefix << "_server = {sizeof(::platform::RPC_SERVER_INTERFACE), &"
      << prefix << "_info, kDispatchTable, Rundown};\n";
    c << "const ::platform::RPC_IF_HANDLE " << prefix << "_s_ifspec = &" << prefix << "_server;\n";
    files.push_back({options.baseName + "_server.cpp", c.str()});
  }
  return files;
}

}  // namespace idlgen
