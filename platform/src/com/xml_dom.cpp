// The XML DOM over pugixml: DOMDocument30 with IXMLDOMDocument2, and IXMLDOMNode for
// what selectSingleNode finds.
//
// A loaded text is one immutable pugixml document that the document object and every
// node taken from it share, so a node stays valid after its document object is
// released or loads another text. Nothing here reads beyond the text it is given:
// pugixml has no loader for external entities or DTDs, the document type declaration
// is skipped without parse_doctype, and a reference to an entity that is not one of the
// five predefined ones stays in the text as it was written, so an entity bomb costs no
// more than its own length. The parser is not recursive, and the walks below are loops,
// so a deeply nested document cannot exhaust the stack.
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include <pugixml.hpp>

#include "platform/src/com/com_internal.h"
#include "platform/text.h"
#include "platform/xml.h"

namespace platform {
namespace {

using Tree = std::shared_ptr<const pugi::xml_document>;

// What a document holds before a load and after a failed one; immutable, so shared.
const Tree& EmptyTree() {
  static const Tree* empty = new Tree(std::make_shared<const pugi::xml_document>());
  return *empty;
}

std::string Utf8Of(BSTR text) {
  return text == nullptr ? std::string() : WideToUtf8(std::wstring_view(text, SysStringLen(text)));
}

HRESULT ReturnText(std::string_view utf8, BSTR* out) {
  const std::wstring text = Utf8ToWide(utf8);
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

std::string NameOf(const pugi::xpath_node& node) {
  if (node.attribute()) return node.attribute().name();
  switch (node.node().type()) {
    case pugi::node_document:
      return "#document";
    case pugi::node_pcdata:
      return "#text";
    case pugi::node_cdata:
      return "#cdata-section";
    case pugi::node_comment:
      return "#comment";
    default:
      return node.node().name();  // element, processing instruction
  }
}

// The text of the character data below `root`, in document order.
std::string TextOf(const pugi::xpath_node& node) {
  if (node.attribute()) return node.attribute().value();
  const pugi::xml_node root = node.node();
  switch (root.type()) {
    case pugi::node_pcdata:
    case pugi::node_cdata:
    case pugi::node_comment:
    case pugi::node_pi:
      return root.value();
    default:
      break;
  }
  std::string text;
  pugi::xml_node at = root.first_child();
  while (at) {
    if (at.type() == pugi::node_pcdata || at.type() == pugi::node_cdata) text += at.value();
    if (at.first_child()) {
      at = at.first_child();
      continue;
    }
    while (at != root && !at.next_sibling()) at = at.parent();
    if (at == root) break;
    at = at.next_sibling();
  }
  return text;
}

HRESULT SelectSingle(const Tree& tree, const pugi::xpath_node& context, BSTR query, IXMLDOMNode** out);
HRESULT SelectAll(const Tree& tree, const pugi::xpath_node& context, BSTR query, IXMLDOMNodeList** out);

class DomNode final : public ComObject<IXMLDOMNode> {
 public:
  DomNode(Tree tree, pugi::xpath_node node) : tree_(std::move(tree)), node_(node) {}

  HRESULT get_nodeName(BSTR* name) override {
    if (name == nullptr) return E_INVALIDARG;
    return ReturnText(NameOf(node_), name);
  }
  HRESULT get_text(BSTR* text) override {
    if (text == nullptr) return E_INVALIDARG;
    return ReturnText(TextOf(node_), text);
  }
  HRESULT selectSingleNode(BSTR queryString, IXMLDOMNode** node) override {
    return SelectSingle(tree_, node_, queryString, node);
  }
  HRESULT selectNodes(BSTR queryString, IXMLDOMNodeList** list) override {
    return SelectAll(tree_, node_, queryString, list);
  }

 private:
  const Tree tree_;  // keeps node_ alive
  const pugi::xpath_node node_;
};

// The nodes one selection found, in document order; each item is made when asked for.
class DomNodeList final : public ComObject<IXMLDOMNodeList> {
 public:
  DomNodeList(Tree tree, pugi::xpath_node_set nodes) : tree_(std::move(tree)), nodes_(std::move(nodes)) {
    nodes_.sort();
  }
  HRESULT get_length(LONG* length) override {
    if (length == nullptr) return E_INVALIDARG;
    *length = static_cast<LONG>(nodes_.size());
    return S_OK;
  }
  HRESULT get_item(LONG index, IXMLDOMNode** node) override {
    if (node == nullptr) return E_INVALIDARG;
    *node = nullptr;
    if (index < 0 || static_cast<std::size_t>(index) >= nodes_.size()) return S_FALSE;
    return CreateComObject<DomNode>(IID_IXMLDOMNode, reinterpret_cast<void**>(node), tree_,
                                    nodes_[static_cast<std::size_t>(index)]);
  }

 private:
  const Tree tree_;  // keeps the nodes alive
  pugi::xpath_node_set nodes_;
};

HRESULT SelectAll(const Tree& tree, const pugi::xpath_node& context, BSTR query, IXMLDOMNodeList** out) {
  if (out == nullptr) return E_INVALIDARG;
  *out = nullptr;
  try {
    const pugi::xpath_query compiled(Utf8Of(query).c_str());
    return CreateComObject<DomNodeList>(IID_IXMLDOMNodeList, reinterpret_cast<void**>(out), tree,
                                        compiled.evaluate_node_set(context));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception&) {
    return E_FAIL;
  }
}

HRESULT SelectSingle(const Tree& tree, const pugi::xpath_node& context, BSTR query, IXMLDOMNode** out) {
  if (out == nullptr) return E_INVALIDARG;
  *out = nullptr;
  try {
    const pugi::xpath_query compiled(Utf8Of(query).c_str());
    const pugi::xpath_node found = compiled.evaluate_node(context);
    if (!found) return S_FALSE;
    return CreateComObject<DomNode>(IID_IXMLDOMNode, reinterpret_cast<void**>(out), tree, found);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception&) {
    // pugi::xpath_exception: not XPath, or not an expression that selects nodes.
    return E_FAIL;
  }
}

class DomDocument final : public ComObject<IXMLDOMDocument2> {
 public:
  DomDocument() : tree_(EmptyTree()) {}

  // The document is a node too.
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (object != nullptr && riid == IID_IXMLDOMNode) {
      *object = static_cast<IXMLDOMNode*>(this);
      AddRef();
      return S_OK;
    }
    return ComObject::QueryInterface(riid, object);
  }

  HRESULT get_nodeName(BSTR* name) override {
    if (name == nullptr) return E_INVALIDARG;
    return ReturnText("#document", name);
  }
  HRESULT get_text(BSTR* text) override {
    if (text == nullptr) return E_INVALIDARG;
    const Tree tree = Current();
    return ReturnText(TextOf(pugi::xpath_node(*tree)), text);
  }
  HRESULT selectSingleNode(BSTR queryString, IXMLDOMNode** node) override {
    const Tree tree = Current();
    return SelectSingle(tree, pugi::xpath_node(*tree), queryString, node);
  }
  HRESULT selectNodes(BSTR queryString, IXMLDOMNodeList** list) override {
    const Tree tree = Current();
    return SelectAll(tree, pugi::xpath_node(*tree), queryString, list);
  }

  // Whatever these say, loading is synchronous, validates nothing against a DTD and
  // resolves nothing outside the text.
  HRESULT put_async(VARIANT_BOOL) override { return S_OK; }
  HRESULT put_validateOnParse(VARIANT_BOOL) override { return S_OK; }
  HRESULT put_resolveExternals(VARIANT_BOOL) override { return S_OK; }
  HRESULT put_preserveWhiteSpace(VARIANT_BOOL preserve) override {
    std::lock_guard guard(lock_);
    preserveWhiteSpace_ = preserve != VARIANT_FALSE;
    return S_OK;
  }

  HRESULT loadXML(BSTR xml, VARIANT_BOOL* isSuccessful) override {
    if (isSuccessful == nullptr) return E_INVALIDARG;
    *isSuccessful = VARIANT_FALSE;
    bool preserve = true;
    {
      std::lock_guard guard(lock_);
      preserve = preserveWhiteSpace_;
    }
    try {
      auto loaded = std::make_shared<pugi::xml_document>();
      const std::string text = Utf8Of(xml);
      // The text is characters already: a declared encoding does not apply to it.
      const unsigned options = pugi::parse_default | (preserve ? pugi::parse_ws_pcdata : 0u);
      const pugi::xml_parse_result result = loaded->load_buffer(text.data(), text.size(), options, pugi::encoding_utf8);
      std::size_t elements = 0;
      for (const pugi::xml_node& child : loaded->children()) elements += child.type() == pugi::node_element ? 1 : 0;
      // pugixml takes several top-level elements; a document has exactly one.
      const bool ok = result && elements == 1;
      {
        std::lock_guard guard(lock_);
        tree_ = ok ? Tree(std::move(loaded)) : EmptyTree();
      }
      if (!ok) return S_FALSE;
      *isSuccessful = VARIANT_TRUE;
      return S_OK;
    } catch (const std::bad_alloc&) {
      std::lock_guard guard(lock_);
      tree_ = EmptyTree();
      return E_OUTOFMEMORY;
    }
  }

 private:
  Tree Current() {
    std::lock_guard guard(lock_);
    return tree_;
  }

  std::mutex lock_;
  Tree tree_;  // never null; an empty document until a text loads
  bool preserveWhiteSpace_ = true;
};

}  // namespace

HRESULT xml::detail::CreateDomDocument(REFIID riid, void** object) {
  try {
    return CreateComObject<DomDocument>(riid, object);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace platform
