// An XML DOM with XPath node selection, over pugixml: the document class DOMDocument30
// that every machine has registered, created with CoCreateInstance and used through
// IXMLDOMDocument2 and IXMLDOMNode.
//
// Loading never reaches outside the text: a document type declaration is skipped, no
// external entity or DTD is fetched, and no entity beyond the five predefined ones and
// character references is expanded, whatever resolveExternals says (a reference to any
// other entity stays in the text as written). A text that fails to load (not
// well-formed, or not exactly one top-level element) leaves the document empty (no
// element), so every selection on it finds nothing. Only synchronous loading is offered:
// put_async(VARIANT_TRUE) is accepted and loads synchronously all the same; nothing is
// validated, whatever validateOnParse says. White space is kept as written unless
// put_preserveWhiteSpace(VARIANT_FALSE) came before the load, which then leaves out
// text that is white space only.
//
// Load, search and text reads take time and memory in proportion to the text and never
// recurse on its depth: 100000 levels of nesting are fine. A node keeps the text it came
// from alive, after the document is released or loads another one. Objects may be used
// from several threads.
#pragma once

#include "platform/com.h"

namespace platform {

// {F5078F32-C551-11D3-89B9-0000F81FE221}
inline constexpr CLSID CLSID_DOMDocument30 = {
    0xF5078F32, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}};

struct IXMLDOMNodeList;

struct IXMLDOMNode : IUnknown {
  // {2933BF80-7B36-11D2-B20E-00C04F983E60}
  static constexpr IID iid = {0x2933BF80, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
  // The node's name ("#document" for the document).
  virtual HRESULT get_nodeName(BSTR* name) = 0;
  // The concatenated text of the node and its descendants (white space as loaded).
  virtual HRESULT get_text(BSTR* text) = 0;
  // The first node the XPath 1.0 expression selects, relative to this node. S_FALSE
  // with *node null when none does; E_FAIL for an expression that does not parse.
  virtual HRESULT selectSingleNode(BSTR queryString, IXMLDOMNode** node) = 0;
  // Every node the expression selects, in document order (an empty list when none
  // does); E_FAIL for an expression that does not parse.
  virtual HRESULT selectNodes(BSTR queryString, IXMLDOMNodeList** list) = 0;

 protected:
  ~IXMLDOMNode() = default;
};

struct IXMLDOMNodeList : IUnknown {
  // {2933BF82-7B36-11D2-B20E-00C04F983E60}
  static constexpr IID iid = {0x2933BF82, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
  virtual HRESULT get_length(LONG* length) = 0;
  // S_FALSE with *node null for an index outside the list.
  virtual HRESULT get_item(LONG index, IXMLDOMNode** node) = 0;

 protected:
  ~IXMLDOMNodeList() = default;
};
inline constexpr IID IID_IXMLDOMNodeList = IXMLDOMNodeList::iid;
inline constexpr IID IID_IXMLDOMNode = IXMLDOMNode::iid;

struct IXMLDOMDocument2 : IXMLDOMNode {
  // {2933BF95-7B36-11D2-B20E-00C04F983E60}
  static constexpr IID iid = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
  virtual HRESULT put_async(VARIANT_BOOL isAsync) = 0;
  virtual HRESULT put_validateOnParse(VARIANT_BOOL validate) = 0;
  virtual HRESULT put_resolveExternals(VARIANT_BOOL resolve) = 0;
  virtual HRESULT put_preserveWhiteSpace(VARIANT_BOOL preserve) = 0;
  // S_OK with *isSuccessful VARIANT_TRUE when the text loaded; S_FALSE with
  // VARIANT_FALSE when it is not well-formed (the document is then empty).
  virtual HRESULT loadXML(BSTR xml, VARIANT_BOOL* isSuccessful) = 0;

 protected:
  ~IXMLDOMDocument2() = default;
};
inline constexpr IID IID_IXMLDOMDocument2 = IXMLDOMDocument2::iid;

}  // namespace platform
