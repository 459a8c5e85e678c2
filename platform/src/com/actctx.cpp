// Side-by-side activation contexts: manifests read with pugixml, the contexts kept as
// reference-counted objects of the process handle table, and one activation stack per
// thread whose top decides which side-by-side classes CoCreateInstance may create.

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <pugixml.hpp>

#include "platform/com.h"
#include "platform/debug.h"
#include "platform/fs.h"
#include "platform/machine.h"
#include "platform/src/base/handles.h"
#include "platform/src/com/com_internal.h"
#include "platform/src/devices/devices_profile.h"
#include "platform/src/host/files.h"
#include "platform/text.h"
#include "platform/version.h"

#include "platform/src/base/trace.h"

namespace platform {
namespace {

// Manifests are a few kilobytes; anything far larger is not one.
constexpr std::size_t kMaxManifestBytes = 1 << 20;

struct Identity {
  std::wstring name;
  std::wstring version;
  std::wstring type;
  std::wstring architecture;
};

struct Manifest {
  Identity identity;
  std::vector<Identity> dependencies;
  std::vector<CLSID> classes;  // the <comClass> of its <file> elements
};

// What a context makes available: the manifest's own assembly first, then every
// assembly reached through the dependencies.
class ActivationContext final : public base::detail::KernelObject {
 public:
  explicit ActivationContext(std::vector<Manifest> assemblies) : assemblies_(std::move(assemblies)) {}

  bool HasClass(std::wstring_view assembly, REFCLSID clsid) const {
    for (const auto& m : assemblies_) {
      if (EqualsNoCase(m.identity.name, assembly) &&
          std::find(m.classes.begin(), m.classes.end(), clsid) != m.classes.end()) {
        return true;
      }
    }
    return false;
  }

 private:
  const std::vector<Manifest> assemblies_;
};

// --- Reading manifests ------------------------------------------------------------------

// Element and attribute names without their namespace prefix: manifests mix the default
// namespace with prefixed ones ("asmv3:file").
std::string_view LocalName(const char* name) {
  std::string_view n(name);
  const auto colon = n.rfind(':');
  return colon == std::string_view::npos ? n : n.substr(colon + 1);
}

std::wstring Attribute(const pugi::xml_node& node, std::string_view name) {
  for (const auto& a : node.attributes()) {
    if (LocalName(a.name()) == name) return Utf8ToWide(a.value());
  }
  return {};
}

std::vector<pugi::xml_node> Children(const pugi::xml_node& node, std::string_view name) {
  std::vector<pugi::xml_node> out;
  for (const auto& child : node.children()) {
    if (child.type() == pugi::node_element && LocalName(child.name()) == name) out.push_back(child);
  }
  return out;
}

Identity ReadIdentity(const pugi::xml_node& node) {
  return {Attribute(node, "name"), Attribute(node, "version"), Attribute(node, "type"),
          Attribute(node, "processorArchitecture")};
}

// Default parsing: no document type declaration is acted on and no entity outside the
// predefined ones is expanded, so nothing outside the text is ever reached.
DWORD ParseManifest(const std::string& text, Manifest& out) {
  pugi::xml_document doc;
  if (!doc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_auto)) {
    return ERROR_SXS_MANIFEST_PARSE_ERROR;
  }
  const pugi::xml_node root = doc.document_element();
  if (!root || LocalName(root.name()) != "assembly") return ERROR_SXS_MANIFEST_PARSE_ERROR;
  const auto identities = Children(root, "assemblyIdentity");
  if (identities.size() != 1) return ERROR_SXS_MANIFEST_PARSE_ERROR;
  out.identity = ReadIdentity(identities.front());
  if (out.identity.name.empty() || out.identity.version.empty()) return ERROR_SXS_MANIFEST_PARSE_ERROR;

  for (const auto& dependency : Children(root, "dependency")) {
    for (const auto& assembly : Children(dependency, "dependentAssembly")) {
      for (const auto& identity : Children(assembly, "assemblyIdentity")) {
        out.dependencies.push_back(ReadIdentity(identity));
        if (out.dependencies.back().name.empty()) return ERROR_SXS_MANIFEST_PARSE_ERROR;
      }
    }
  }
  for (const auto& file : Children(root, "file")) {
    for (const auto& comClass : Children(file, "comClass")) {
      GUID clsid{};
      if (!devices::detail::ParseGuid(WideToUtf8(Attribute(comClass, "clsid")), &clsid)) {
        return ERROR_SXS_MANIFEST_PARSE_ERROR;
      }
      out.classes.push_back(clsid);
    }
  }
  return ERROR_SUCCESS;
}

bool IsAbsolute(std::wstring_view path) {
  return (path.size() >= 2 && path[1] == L':') || (!path.empty() && (path[0] == L'\\' || path[0] == L'/'));
}

std::wstring Join(std::wstring_view folder, std::wstring_view name) {
  if (folder.empty() || IsAbsolute(name)) return std::wstring(name);
  std::wstring out(folder);
  if (out.back() != L'\\' && out.back() != L'/') out.push_back(L'\\');
  return out + std::wstring(name);
}

std::wstring FolderOf(std::wstring_view path) {
  const auto slash = path.find_last_of(L"\\/");
  return slash == std::wstring_view::npos ? std::wstring() : std::wstring(path.substr(0, slash));
}

// The text of the manifest file at a machine path; 0 or an error code.
DWORD ReadManifestFile(const std::wstring& machinePath, std::string& text) {
  const auto host = MapToHost(machinePath);
  if (!host) return ERROR_PATH_NOT_FOUND;
  std::error_code ec;
  if (std::filesystem::is_directory(*host, ec)) return ERROR_FILE_NOT_FOUND;
  try {
    auto contents = host::ReadFile(*host);
    if (!contents) return ERROR_FILE_NOT_FOUND;
    if (contents->size() > kMaxManifestBytes) return ERROR_SXS_MANIFEST_PARSE_ERROR;
    text = std::move(*contents);
    return ERROR_SUCCESS;
  } catch (const std::system_error&) {
    return ERROR_ACCESS_DENIED;
  }
}

// Why a context could not be made, for whoever reads the debug output (the original
// keeps such a trace of its own).
void SayWhy(const std::wstring& what) {
  OutputDebugString((L"CreateActCtx: " + what + L"\n").c_str());
}

// Adds the assemblies of `dependencies`, and theirs, found in `folder`.
DWORD ResolveDependencies(const std::vector<Identity>& dependencies, const std::wstring& folder,
                          std::vector<Manifest>& assemblies, std::set<std::wstring>& seen) {
  for (const auto& wanted : dependencies) {
    if (!seen.insert(ToUpper(wanted.name)).second) continue;
    std::string text;
    std::wstring found;
    for (const auto& candidate :
         {Join(folder, wanted.name + L".manifest"), Join(folder, wanted.name + L"\\" + wanted.name + L".manifest")}) {
      if (ReadManifestFile(candidate, text) == ERROR_SUCCESS) {
        found = candidate;
        break;
      }
    }
    if (found.empty()) {
      SayWhy(L"the assembly " + wanted.name + L" is not in " + (folder.empty() ? L"the current folder" : folder));
      return ERROR_SXS_CANT_GEN_ACTCTX;
    }
    Manifest dependency;
    if (ParseManifest(text, dependency) != ERROR_SUCCESS) {
      SayWhy(L"the manifest " + found + L" cannot be read");
      return ERROR_SXS_CANT_GEN_ACTCTX;
    }
    if (!EqualsNoCase(dependency.identity.name, wanted.name) ||
        (!wanted.version.empty() && dependency.identity.version != wanted.version)) {
      SayWhy(L"the manifest " + found + L" is " + dependency.identity.name + L" " + dependency.identity.version +
             L", not " + wanted.name + L" " + wanted.version);
      return ERROR_SXS_CANT_GEN_ACTCTX;
    }
    const auto next = dependency.dependencies;
    assemblies.push_back(std::move(dependency));
    if (DWORD error = ResolveDependencies(next, folder, assemblies, seen); error != ERROR_SUCCESS) return error;
  }
  return ERROR_SUCCESS;
}

DWORD BuildContext(const ACTCTXW& request, std::shared_ptr<ActivationContext>& context) {
  const std::wstring source(request.lpSource);
  std::wstring path = source;
  std::wstring folder = FolderOf(source);
  if ((request.dwFlags & ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID) != 0) {
    if (request.lpAssemblyDirectory == nullptr || *request.lpAssemblyDirectory == L'\0') {
      return ERROR_INVALID_PARAMETER;
    }
    folder = request.lpAssemblyDirectory;
    path = Join(folder, source);
  }

  std::string text;
  if ((request.dwFlags & ACTCTX_FLAG_RESOURCE_NAME_VALID) != 0) {
    // The manifest a program carries as its resource.
    auto resource = ReadManifestResource(path.c_str());
    if (!resource) return GetLastError();
    text = std::move(*resource);
  } else if (DWORD error = ReadManifestFile(path, text); error != ERROR_SUCCESS) {
    return error;
  }

  std::vector<Manifest> assemblies(1);
  if (DWORD error = ParseManifest(text, assemblies.front()); error != ERROR_SUCCESS) {
    SayWhy(L"the manifest " + path + L" is not well-formed or has no assembly identity");
    return error;
  }
  std::set<std::wstring> seen{ToUpper(assemblies.front().identity.name)};
  const auto dependencies = assemblies.front().dependencies;
  if (DWORD error = ResolveDependencies(dependencies, folder, assemblies, seen); error != ERROR_SUCCESS) return error;
  context = std::make_shared<ActivationContext>(std::move(assemblies));
  return ERROR_SUCCESS;
}

// --- Activation stacks --------------------------------------------------------------------

// The cookies of one machine; the generation tells this machine's stacks apart from a
// previous machine's in the thread-local records.
struct ActCtxState {
  static inline std::atomic<std::uint64_t> nextGeneration{1};
  const std::uint64_t generation = nextGeneration++;
  std::atomic<ULONG_PTR> nextCookie{1};
};

struct Frame {
  ULONG_PTR cookie;
  std::shared_ptr<const ActivationContext> context;  // null: no context (activation of a null handle)
};

struct ThreadStack {
  std::uint64_t generation = 0;
  std::vector<Frame> frames;
};
thread_local ThreadStack t_stack;

ThreadStack& Stack(ActCtxState& state) {
  if (t_stack.generation != state.generation) t_stack = ThreadStack{state.generation, {}};
  return t_stack;
}

ThreadStack& Stack() {
  return Stack(CurrentMachine().State<ActCtxState>());
}

}  // namespace

HANDLE CreateActCtx(PCACTCTXW actCtx) {
  return base::detail::Traced<HANDLE>(base::detail::kTraceCom, "CreateActCtx", [&]() -> HANDLE {
    if (actCtx == nullptr || actCtx->cbSize != sizeof(ACTCTXW) || actCtx->lpSource == nullptr ||
        *actCtx->lpSource == L'\0') {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<ActivationContext> context;
    if (DWORD error = BuildContext(*actCtx, context); error != ERROR_SUCCESS) {
      SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
    return base::detail::InsertHandle(std::move(context));
  });
}

BOOL ActivateActCtx(HANDLE actCtx, ULONG_PTR* cookie) {
  return base::detail::Traced<BOOL>(base::detail::kTraceCom, "ActivateActCtx", [&]() -> BOOL {
    if (cookie == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::shared_ptr<const ActivationContext> context;
    if (actCtx != nullptr) {
      context = base::detail::LookupHandleAs<ActivationContext>(actCtx);
      if (!context) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
      }
    }
    auto& state = CurrentMachine().State<ActCtxState>();
    *cookie = state.nextCookie++;
    Stack(state).frames.push_back(Frame{*cookie, std::move(context)});
    return TRUE;
  });
}

BOOL DeactivateActCtx(DWORD flags, ULONG_PTR cookie) {
  return base::detail::Traced<BOOL>(base::detail::kTraceCom, "DeactivateActCtx", [&]() -> BOOL {
    auto& frames = Stack().frames;
    const auto it = std::find_if(frames.begin(), frames.end(), [&](const Frame& f) { return f.cookie == cookie; });
    if (flags != 0 || cookie == 0 || it == frames.end()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (std::next(it) != frames.end()) {
      SetLastError(ERROR_SXS_INVALID_DEACTIVATION);
      return FALSE;
    }
    frames.pop_back();
    return TRUE;
  });
}

void ReleaseActCtx(HANDLE actCtx) {
  return base::detail::Traced<void>(base::detail::kTraceCom, "ReleaseActCtx", [&]() -> void {
    // Only a context's handle: a stray handle of another kind stays open.
    if (base::detail::LookupHandleAs<ActivationContext>(actCtx)) base::detail::RemoveHandle(actCtx);
  });
}

bool com::detail::ActiveContextHasClass(std::wstring_view assembly, REFCLSID clsid) {
  const auto& frames = Stack().frames;
  return !frames.empty() && frames.back().context && frames.back().context->HasClass(assembly, clsid);
}

}  // namespace platform
