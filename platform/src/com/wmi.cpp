#include "platform/wmi.h"

#include <cwchar>
#include <map>
#include <memory>
#include <mutex>

#include "platform/machine.h"
#include "platform/src/com/com_internal.h"
#include "platform/src/com/wmi_internal.h"
#include "platform/text.h"

#include "platform/src/base/trace.h"

namespace platform {
namespace wmi::detail {
namespace {

// The repository of one machine (read from its profile on first use) and the
// counters behind its faults and statistics.
struct WmiState {
  std::once_flag loaded;
  std::shared_ptr<const Repository> repository;

  std::mutex lock;
  std::map<std::string, std::uint64_t> faultUses;
  std::map<std::wstring, std::uint64_t> propertyReads;  // "NS|CLASS|PROPERTY"
  std::map<std::wstring, std::uint64_t> queries;        // "NS|CLASS"
};

// What the objects of one connection share: the machine (its counters) and the
// repository it was read from.
struct Context {
  std::shared_ptr<Machine> machine;
  std::shared_ptr<const Repository> repository;

  WmiState& State() const { return machine->State<WmiState>(); }

  // Counts one use of `fault`; true when the fault acts on this use.
  bool Fires(const Fault& fault) const {
    auto& state = State();
    std::lock_guard guard(state.lock);
    const auto uses = ++state.faultUses[fault.key];
    return !fault.count || uses <= *fault.count;
  }

  void Count(std::map<std::wstring, std::uint64_t> WmiState::*counters, const std::wstring& key) const {
    auto& state = State();
    std::lock_guard guard(state.lock);
    ++(state.*counters)[key];
  }
};

Context CurrentContext() {
  Context context;
  context.machine = CurrentMachinePtr();
  auto& state = context.machine->State<WmiState>();
  std::call_once(state.loaded, [&] {
    const auto& profile = context.machine->Profile();
    state.repository = std::make_shared<const Repository>(
        ParseRepository(profile.contains("wmi") ? profile["wmi"] : nlohmann::json(), "machine profile"));
  });
  context.repository = state.repository;
  return context;
}

std::wstring CounterKey(std::wstring_view ns, std::wstring_view cls, std::wstring_view property = {}) {
  std::wstring key = NormalizeNamespace(ns) + L"|" + ToUpper(cls);
  if (!property.empty()) key += L"|" + ToUpper(property);
  return key;
}

BSTR AllocText(const std::wstring& text) {
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

// The VARIANT and CIM type of a repository value.
HRESULT ToVariant(const Value& value, VARIANT* out, CIMTYPE* type) {
  VariantInit(out);
  CIMTYPE cim = CIM_STRING;
  if (std::holds_alternative<std::monostate>(value)) {
    out->vt = VT_NULL;
  } else if (const auto* text = std::get_if<std::wstring>(&value)) {
    out->vt = VT_BSTR;
    out->bstrVal = AllocText(*text);
    if (out->bstrVal == nullptr) return WBEM_E_OUT_OF_MEMORY;
  } else if (const auto* number = std::get_if<std::int64_t>(&value)) {
    if (*number >= INT32_MIN && *number <= INT32_MAX) {
      out->vt = VT_I4;
      out->lVal = static_cast<LONG>(*number);
      cim = CIM_SINT32;
    } else if (*number >= 0 && *number <= UINT32_MAX) {
      out->vt = VT_UI4;
      out->ulVal = static_cast<ULONG>(*number);
      cim = CIM_UINT32;
    } else {
      // 64-bit values travel as decimal text.
      out->vt = VT_BSTR;
      out->bstrVal = AllocText(std::to_wstring(*number));
      cim = *number < 0 ? CIM_SINT64 : CIM_UINT64;
    }
  } else if (const auto* flag = std::get_if<bool>(&value)) {
    out->vt = VT_BOOL;
    out->boolVal = *flag ? VARIANT_TRUE : VARIANT_FALSE;
    cim = CIM_BOOLEAN;
  } else if (const auto* texts = std::get_if<std::vector<std::wstring>>(&value)) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(texts->size()));
    if (array == nullptr) return WBEM_E_OUT_OF_MEMORY;
    for (std::size_t i = 0; i < texts->size(); ++i) {
      LONG index = static_cast<LONG>(i);
      BStr element((*texts)[i]);
      SafeArrayPutElement(array, &index, element.Get());
    }
    out->vt = VT_ARRAY | VT_BSTR;
    out->parray = array;
    cim = CIM_STRING | CIM_FLAG_ARRAY;
  } else if (const auto* numbers = std::get_if<std::vector<std::int64_t>>(&value)) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(numbers->size()));
    if (array == nullptr) return WBEM_E_OUT_OF_MEMORY;
    for (std::size_t i = 0; i < numbers->size(); ++i) {
      LONG index = static_cast<LONG>(i);
      LONG element = static_cast<LONG>((*numbers)[i]);
      SafeArrayPutElement(array, &index, &element);
    }
    out->vt = VT_ARRAY | VT_I4;
    out->parray = array;
    cim = CIM_SINT32 | CIM_FLAG_ARRAY;
  }
  if (type != nullptr) *type = cim;
  return WBEM_S_NO_ERROR;
}

class ClassObject final : public ComObject<IWbemClassObject> {
 public:
  ClassObject(Context context, std::wstring nameSpace, std::wstring className, const Object* object,
              std::vector<std::wstring> columns)
      : context_(std::move(context)),
        nameSpace_(std::move(nameSpace)),
        className_(std::move(className)),
        object_(object),
        columns_(std::move(columns)) {}

  HRESULT Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
    if (name == nullptr || flags != 0) return WBEM_E_INVALID_PARAMETER;
    const std::wstring_view wanted(name);
    const Property* property = Selected(wanted) ? object_->Find(wanted) : nullptr;
    if (property == nullptr) return WBEM_E_NOT_FOUND;
    context_.Count(&WmiState::propertyReads, CounterKey(nameSpace_, className_, property->name));
    if (flavor != nullptr) *flavor = WBEM_FLAVOR_ORIGIN_LOCAL;
    if (property->fault && context_.Fires(*property->fault)) {
      switch (property->fault->kind) {
        case Fault::Kind::Throw:
          _com_issue_error(property->fault->hr);
        case Fault::Kind::Empty:
          if (value != nullptr) {
            const bool text = std::holds_alternative<std::wstring>(property->value) ||
                              std::holds_alternative<std::monostate>(property->value);
            return ToVariant(text ? Value(std::wstring()) : Value(std::monostate{}), value, type);
          }
          return WBEM_S_NO_ERROR;
        default:
          return property->fault->hr;
      }
    }
    if (value == nullptr) {
      VARIANT ignored;
      HRESULT hr = ToVariant(property->value, &ignored, type);
      VariantClear(&ignored);
      return hr;
    }
    return ToVariant(property->value, value, type);
  }

 private:
  bool Selected(std::wstring_view name) const {
    if (columns_.empty()) return true;
    for (const auto& c : columns_) {
      if (EqualsNoCase(c, name)) return true;
    }
    return false;
  }

  Context context_;
  std::wstring nameSpace_;
  std::wstring className_;
  const Object* object_;
  std::vector<std::wstring> columns_;
};

class Enumerator final : public ComObject<IEnumWbemClassObject> {
 public:
  Enumerator(Context context, std::wstring nameSpace, const Class* cls, std::vector<const Object*> objects,
             std::vector<std::wstring> columns, bool forwardOnly, std::optional<Fault> nextFault)
      : context_(std::move(context)),
        nameSpace_(std::move(nameSpace)),
        class_(cls),
        objects_(std::move(objects)),
        columns_(std::move(columns)),
        forwardOnly_(forwardOnly),
        nextFault_(std::move(nextFault)) {}

  HRESULT Reset() override {
    if (forwardOnly_) return WBEM_E_INVALID_OPERATION;
    std::lock_guard guard(lock_);
    next_ = 0;
    return WBEM_S_NO_ERROR;
  }

  HRESULT Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) override {
    if (returned == nullptr || (objects == nullptr && count > 0) || timeout < WBEM_INFINITE) {
      return WBEM_E_INVALID_PARAMETER;
    }
    *returned = 0;
    if (nextFault_ && context_.Fires(*nextFault_)) return nextFault_->hr;
    std::lock_guard guard(lock_);
    while (*returned < count && next_ < objects_.size()) {
      objects[*returned] = nullptr;
      HRESULT hr = CreateComObject<ClassObject>(IID_IWbemClassObject, reinterpret_cast<void**>(&objects[*returned]),
                                                context_, nameSpace_, class_->name, objects_[next_], columns_);
      if (FAILED(hr)) return hr;
      ++next_;
      ++*returned;
    }
    return *returned == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }

 private:
  Context context_;
  std::wstring nameSpace_;
  const Class* class_;
  std::vector<const Object*> objects_;
  std::vector<std::wstring> columns_;
  const bool forwardOnly_;
  std::optional<Fault> nextFault_;
  std::mutex lock_;
  std::size_t next_ = 0;
};

struct Blanket {
  DWORD authnSvc = RPC_C_AUTHN_WINNT;
  DWORD authzSvc = RPC_C_AUTHZ_NONE;
  std::wstring principal;
  DWORD authnLevel = RPC_C_AUTHN_LEVEL_CONNECT;
  DWORD impLevel = RPC_C_IMP_LEVEL_IDENTIFY;
  DWORD capabilities = EOAC_NONE;
};

class Services final : public ComObject<IWbemServices, IClientSecurity> {
 public:
  Services(Context context, const Namespace* nameSpace) : context_(std::move(context)), namespace_(nameSpace) {}

  HRESULT ExecQuery(const BSTR queryLanguage, const BSTR query, LONG flags, IWbemContext* /*context*/,
                    IEnumWbemClassObject** enumerator) override {
    if (enumerator == nullptr || queryLanguage == nullptr || query == nullptr) return WBEM_E_INVALID_PARAMETER;
    *enumerator = nullptr;
    constexpr LONG known = WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_ENSURE_LOCATABLE |
                           WBEM_FLAG_USE_AMENDED_QUALIFIERS;
    if ((flags & ~known) != 0) return WBEM_E_INVALID_PARAMETER;
    if (!EqualsNoCase(queryLanguage, L"WQL")) return WBEM_E_INVALID_QUERY_TYPE;
    const std::wstring text(query);
    const auto parsed = ParseWql(text);
    if (!parsed) return WBEM_E_INVALID_QUERY;
    context_.Count(&WmiState::queries, CounterKey(namespace_->name, parsed->className));

    std::optional<Fault> nextFault;
    for (const auto& qf : context_.repository->queryFaults) {
      if (NormalizeNamespace(qf.nameSpace) != NormalizeNamespace(namespace_->name)) continue;
      if (!qf.className.empty() && !EqualsNoCase(qf.className, parsed->className)) continue;
      if (qf.text && *qf.text != text) continue;
      if (qf.fault.kind == Fault::Kind::FailNext) {
        nextFault = qf.fault;
      } else if (context_.Fires(qf.fault)) {
        return qf.fault.kind == Fault::Kind::NoEnumerator ? WBEM_S_NO_ERROR : qf.fault.hr;
      }
    }

    const Class* cls = namespace_->Find(parsed->className);
    if (cls == nullptr) return WBEM_E_INVALID_CLASS;
    // Columns and conditions must name properties of the class (known from its objects).
    if (!cls->objects.empty()) {
      for (const auto& column : parsed->columns) {
        if (!cls->HasProperty(column)) return WBEM_E_INVALID_QUERY;
      }
      if (parsed->whereProperty && !cls->HasProperty(*parsed->whereProperty)) return WBEM_E_INVALID_QUERY;
    }
    std::vector<const Object*> matches;
    for (const auto& object : cls->objects) {
      if (parsed->whereProperty) {
        const Property* p = object.Find(*parsed->whereProperty);
        const auto* value = p != nullptr ? std::get_if<std::wstring>(&p->value) : nullptr;
        if (value == nullptr || !EqualsNoCase(*value, parsed->whereValue)) continue;
      }
      matches.push_back(&object);
    }
    return CreateComObject<Enumerator>(IID_IEnumWbemClassObject, reinterpret_cast<void**>(enumerator), context_,
                                       namespace_->name, cls, std::move(matches), parsed->columns,
                                       (flags & WBEM_FLAG_FORWARD_ONLY) != 0, std::move(nextFault));
  }

  HRESULT QueryBlanket(IUnknown* /*proxy*/, DWORD* authnSvc, DWORD* authzSvc, LPWSTR* serverPrincName,
                       DWORD* authnLevel, DWORD* impLevel, void** authInfo, DWORD* capabilities) override {
    std::lock_guard guard(lock_);
    if (authnSvc != nullptr) *authnSvc = blanket_.authnSvc;
    if (authzSvc != nullptr) *authzSvc = blanket_.authzSvc;
    if (serverPrincName != nullptr) {
      *serverPrincName = nullptr;
      if (!blanket_.principal.empty()) {
        auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((blanket_.principal.size() + 1) * sizeof(wchar_t)));
        std::wmemcpy(copy, blanket_.principal.c_str(), blanket_.principal.size() + 1);
        *serverPrincName = copy;
      }
    }
    if (authnLevel != nullptr) *authnLevel = blanket_.authnLevel;
    if (impLevel != nullptr) *impLevel = blanket_.impLevel;
    if (authInfo != nullptr) *authInfo = nullptr;
    if (capabilities != nullptr) *capabilities = blanket_.capabilities;
    return S_OK;
  }

  HRESULT SetBlanket(IUnknown* /*proxy*/, DWORD authnSvc, DWORD authzSvc, LPWSTR serverPrincName, DWORD authnLevel,
                     DWORD impLevel, void* /*authInfo*/, DWORD capabilities) override {
    if (namespace_->blanketFault && context_.Fires(*namespace_->blanketFault)) return namespace_->blanketFault->hr;
    if (authnLevel > RPC_C_AUTHN_LEVEL_PKT_PRIVACY || impLevel > RPC_C_IMP_LEVEL_DELEGATE) return E_INVALIDARG;
    if (authnSvc != RPC_C_AUTHN_WINNT && authnSvc != RPC_C_AUTHN_DEFAULT && authnSvc != RPC_C_AUTHN_NONE) {
      return E_INVALIDARG;
    }
    std::lock_guard guard(lock_);
    blanket_ = Blanket{authnSvc == RPC_C_AUTHN_DEFAULT ? RPC_C_AUTHN_WINNT : authnSvc,
                       authzSvc == RPC_C_AUTHZ_DEFAULT ? RPC_C_AUTHZ_NONE : authzSvc,
                       serverPrincName != nullptr ? std::wstring(serverPrincName) : std::wstring(),
                       authnLevel == RPC_C_AUTHN_LEVEL_DEFAULT ? RPC_C_AUTHN_LEVEL_CONNECT : authnLevel,
                       impLevel == RPC_C_IMP_LEVEL_DEFAULT ? RPC_C_IMP_LEVEL_IDENTIFY : impLevel,
                       capabilities};
    return S_OK;
  }

  HRESULT CopyProxy(IUnknown* /*proxy*/, IUnknown** copy) override {
    if (copy == nullptr) return E_INVALIDARG;
    return CreateComObject<Services>(IID_IUnknown, reinterpret_cast<void**>(copy), context_, namespace_);
  }

 private:
  Context context_;
  const Namespace* namespace_;
  std::mutex lock_;
  Blanket blanket_;
};

class Locator final : public ComObject<IWbemLocator> {
 public:
  explicit Locator(Context context) : context_(std::move(context)) {}

  HRESULT ConnectServer(const BSTR networkResource, const BSTR user, const BSTR password, const BSTR /*locale*/,
                        LONG /*securityFlags*/, const BSTR /*authority*/, IWbemContext* /*context*/,
                        IWbemServices** services) override {
    if (services == nullptr || networkResource == nullptr) return WBEM_E_INVALID_PARAMETER;
    *services = nullptr;
    // The local machine takes no credentials.
    if ((user != nullptr && *user != L'\0') || (password != nullptr && *password != L'\0')) {
      return WBEM_E_LOCAL_CREDENTIALS;
    }
    const std::wstring name(networkResource);
    if (name.rfind(L"\\\\", 0) == 0 && NormalizeNamespace(name).rfind(L"\\\\", 0) == 0) {
      return WBEM_E_TRANSPORT_FAILURE;  // another computer: nothing to reach
    }
    const Namespace* ns = context_.repository->Find(name);
    if (ns == nullptr) return WBEM_E_INVALID_NAMESPACE;
    if (ns->connectFault && context_.Fires(*ns->connectFault)) {
      return ns->connectFault->kind == Fault::Kind::NoObject ? WBEM_S_NO_ERROR : ns->connectFault->hr;
    }
    return CreateComObject<Services>(IID_IWbemServices, reinterpret_cast<void**>(services), context_, ns);
  }

 private:
  Context context_;
};

}  // namespace

HRESULT CreateWbemLocator(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  Context context = CurrentContext();
  if (context.repository->locatorFault && context.Fires(*context.repository->locatorFault)) {
    return context.repository->locatorFault->hr;
  }
  return CreateComObject<Locator>(riid, object, std::move(context));
}

}  // namespace wmi::detail

namespace wmi {

std::uint64_t PropertyReadCount(std::wstring_view nameSpace, std::wstring_view className, std::wstring_view property) {
  return base::detail::Traced<std::uint64_t>(base::detail::kTraceCom, "PropertyReadCount", [&]() -> std::uint64_t {
    auto& state = CurrentMachine().State<wmi::detail::WmiState>();
    std::lock_guard guard(state.lock);
    auto it = state.propertyReads.find(wmi::detail::CounterKey(nameSpace, className, property));
    return it == state.propertyReads.end() ? 0 : it->second;
  });
}

std::uint64_t QueryCount(std::wstring_view nameSpace, std::wstring_view className) {
  return base::detail::Traced<std::uint64_t>(base::detail::kTraceCom, "QueryCount", [&]() -> std::uint64_t {
    auto& state = CurrentMachine().State<wmi::detail::WmiState>();
    std::lock_guard guard(state.lock);
    auto it = state.queries.find(wmi::detail::CounterKey(nameSpace, className));
    return it == state.queries.end() ? 0 : it->second;
  });
}

}  // namespace wmi
}  // namespace platform
