#include "platform/xml.h"

#include <string>
#include <thread>

#include <vector>

#include <gtest/gtest.h>

#include "platform/testing/machine_test.h"
#include "platform/text.h"

namespace platform {
namespace {

class XmlDomTest : public testing::ComMachineTest {
 protected:
  static ComPtr<IXMLDOMDocument2> NewDocument() {
    ComPtr<IXMLDOMDocument2> doc;
    EXPECT_EQ(CoCreateInstance(CLSID_DOMDocument30, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&doc)), S_OK);
    return doc;
  }

  // Loads `text`; whether it loaded (the HRESULT agreeing with the flag).
  static bool Load(IXMLDOMDocument2* doc, const std::wstring& text) {
    VARIANT_BOOL ok = VARIANT_TRUE;
    const HRESULT hr = doc->loadXML(BStr(text), &ok);
    EXPECT_EQ(hr, ok == VARIANT_TRUE ? S_OK : S_FALSE);
    return ok == VARIANT_TRUE;
  }

  static ComPtr<IXMLDOMNode> Select(IXMLDOMNode* from, const wchar_t* query, HRESULT expected = S_OK) {
    ComPtr<IXMLDOMNode> node;
    EXPECT_EQ(from->selectSingleNode(BStr(query), &node), expected) << query;
    return node;
  }

  static std::wstring Text(IXMLDOMNode* node) {
    BStr text;
    EXPECT_EQ(node->get_text(&text), S_OK);
    return text.Str();
  }
  static std::wstring Name(IXMLDOMNode* node) {
    BStr name;
    EXPECT_EQ(node->get_nodeName(&name), S_OK);
    return name.Str();
  }
};

TEST_F(XmlDomTest, SelectsNodesAndReadsTheirNamesAndTextAsWritten) {
  auto doc = NewDocument();
  ASSERT_TRUE(doc);
  ASSERT_TRUE(Load(doc.Get(),
                   L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
                   L"<Config>\n  <Port id=\"usb-c 1\"> x <b>y</b><![CDATA[<z>]]><!-- no --></Port>\n"
                   L"  <Port id=\"2\">&lt;&#x263A;&gt;</Port>\n</Config>"));

  EXPECT_EQ(Name(doc.Get()), L"#document");
  EXPECT_EQ(Text(doc.Get()), L"\n   x y<z>\n  <\u263A>\n") << "white space kept, comments left out";
  auto port = Select(doc.Get(), L"/Config/Port");
  ASSERT_TRUE(port);
  EXPECT_EQ(Name(port.Get()), L"Port");
  EXPECT_EQ(Text(port.Get()), L" x y<z>");
  // Relative to a node, and attributes.
  EXPECT_EQ(Text(Select(port.Get(), L"b").Get()), L"y");
  auto id = Select(port.Get(), L"@id");
  EXPECT_EQ(Name(id.Get()), L"id");
  EXPECT_EQ(Text(id.Get()), L"usb-c 1");
  EXPECT_EQ(Text(Select(doc.Get(), L"//Port[@id='2']").Get()), L"<\u263A>");
  EXPECT_EQ(Name(Select(port.Get(), L"text()").Get()), L"#text");

  // The document is a node too.
  ComPtr<IXMLDOMNode> asNode;
  ASSERT_EQ(doc.As(&asNode), S_OK);
  EXPECT_EQ(Name(Select(asNode.Get(), L"*").Get()), L"Config");
  ComPtr<IXMLDOMDocument2> back;
  EXPECT_EQ(port.As(&back), E_NOINTERFACE) << "an element is no document";

  // Every node a selection finds, in document order, from the document or a node.
  ComPtr<IXMLDOMNodeList> ports;
  ASSERT_EQ(doc->selectNodes(BStr(L"//Port/@id | //Port"), &ports), S_OK);
  LONG length = 0;
  ASSERT_EQ(ports->get_length(&length), S_OK);
  ASSERT_EQ(length, 4);
  std::vector<std::wstring> names;
  for (LONG i = 0; i < length; ++i) {
    ComPtr<IXMLDOMNode> item;
    ASSERT_EQ(ports->get_item(i, &item), S_OK);
    names.push_back(Name(item.Get()) + L"=" + Text(item.Get()));
  }
  EXPECT_EQ(names, (std::vector<std::wstring>{L"Port= x y<z>", L"id=usb-c 1", L"Port=<\u263A>", L"id=2"}));
  ComPtr<IXMLDOMNode> none;
  EXPECT_EQ(ports->get_item(4, &none), S_FALSE);
  EXPECT_FALSE(none);
  ComPtr<IXMLDOMNodeList> empty;
  ASSERT_EQ(port->selectNodes(BStr(L"nothing"), &empty), S_OK);
  ASSERT_EQ(empty->get_length(&length), S_OK);
  EXPECT_EQ(length, 0);
}

TEST_F(XmlDomTest, NothingFoundBadExpressionsAndBadArguments) {
  auto doc = NewDocument();
  ASSERT_TRUE(Load(doc.Get(), L"<a><b/></a>"));
  ComPtr<IXMLDOMNode> node;
  EXPECT_EQ(doc->selectSingleNode(BStr(L"//c"), &node), S_FALSE);
  EXPECT_FALSE(node);
  for (const wchar_t* bad : {L"//[", L"count(//b)", L"", L"b/"}) {
    EXPECT_EQ(doc->selectSingleNode(BStr(bad), &node), E_FAIL) << bad;
    EXPECT_FALSE(node);
  }
  EXPECT_EQ(doc->selectSingleNode(BStr(L"//b"), nullptr), E_INVALIDARG);
  ComPtr<IXMLDOMNodeList> list;
  EXPECT_EQ(doc->selectNodes(BStr(L"//["), &list), E_FAIL);
  EXPECT_EQ(doc->selectNodes(BStr(L"//b"), nullptr), E_INVALIDARG);
  EXPECT_EQ(doc->get_text(nullptr), E_INVALIDARG);
  EXPECT_EQ(doc->loadXML(BStr(L"<a/>"), nullptr), E_INVALIDARG);
}

TEST_F(XmlDomTest, AFailedLoadLeavesTheDocumentEmptyAndNodesKeepTheirText) {
  auto doc = NewDocument();
  ASSERT_TRUE(Load(doc.Get(), L"<a><b>kept</b></a>"));
  auto b = Select(doc.Get(), L"//b");
  ASSERT_TRUE(b);

  for (const wchar_t* bad : {L"<a><b></a>", L"", L"just text", L"<a/><b/>"}) {
    EXPECT_FALSE(Load(doc.Get(), bad)) << bad;
    EXPECT_FALSE(Select(doc.Get(), L"//*", S_FALSE)) << bad;
    EXPECT_EQ(Text(doc.Get()), L"");
  }
  // A node shares the text it came from: neither a new load nor the document's end
  // takes it away.
  doc = nullptr;
  EXPECT_EQ(Text(b.Get()), L"kept");
  EXPECT_EQ(Name(Select(b.Get(), L"..").Get()), L"a");
}

TEST_F(XmlDomTest, WhiteSpaceOnlyTextIsDroppedOnlyWhenAsked) {
  auto doc = NewDocument();
  const std::wstring text = L"<r>\n  <a> x </a>\n</r>";
  ASSERT_TRUE(Load(doc.Get(), text));
  EXPECT_EQ(Text(doc.Get()), L"\n   x \n");
  EXPECT_EQ(doc->put_preserveWhiteSpace(VARIANT_FALSE), S_OK);
  ASSERT_TRUE(Load(doc.Get(), text));
  EXPECT_EQ(Text(doc.Get()), L" x ");
}

TEST_F(XmlDomTest, HostileTextsLoadInBoundedTimeAndReachNothingOutside) {
  auto doc = NewDocument();
  // An external entity is not fetched: the reference stays as written.
  EXPECT_EQ(doc->put_resolveExternals(VARIANT_TRUE), S_OK);
  if (Load(doc.Get(), L"<!DOCTYPE x [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><x>&e;</x>")) {
    EXPECT_EQ(Text(doc.Get()), L"&e;");
  }
  EXPECT_EQ(Text(doc.Get()).find(L"root:"), std::wstring::npos);
  EXPECT_TRUE(Load(doc.Get(), L"<!DOCTYPE x SYSTEM \"http://192.0.2.1/x.dtd\"><x>ok</x>"));
  EXPECT_EQ(Text(doc.Get()), L"ok");

  // An entity bomb costs its own length.
  std::wstring bomb = L"<!DOCTYPE lolz [<!ENTITY lol \"lol\">";
  for (int i = 1; i <= 9; ++i) {
    bomb += L"<!ENTITY lol" + std::to_wstring(i) + L" \"";
    for (int k = 0; k < 10; ++k) bomb += L"&lol" + (i == 1 ? std::wstring() : std::to_wstring(i - 1)) + L";";
    bomb += L"\">";
  }
  bomb += L"]><lolz>&lol9;</lolz>";
  if (Load(doc.Get(), bomb)) {
    EXPECT_EQ(Text(doc.Get()), L"&lol9;");
  }
  EXPECT_LE(Text(doc.Get()).size(), bomb.size());

  // 100000 levels of nesting: loaded, searched and read without recursion.
  constexpr int kDepth = 100000;
  std::wstring deep;
  for (int i = 0; i < kDepth; ++i) deep += L"<d>";
  deep += L"<leaf>bottom</leaf>";
  for (int i = 0; i < kDepth; ++i) deep += L"</d>";
  ASSERT_TRUE(Load(doc.Get(), deep));
  auto leaf = Select(doc.Get(), L"//leaf");
  ASSERT_TRUE(leaf);
  EXPECT_EQ(Text(leaf.Get()), L"bottom");
  EXPECT_EQ(Text(doc.Get()), L"bottom");
  EXPECT_EQ(Name(Select(leaf.Get(), L"ancestor::d[last()]").Get()), L"d");

  // 100000 elements side by side.
  constexpr int kCount = 100000;
  std::wstring wide = L"<list>";
  for (int i = 0; i < kCount; ++i) wide += L"<e n='" + std::to_wstring(i) + L"'>" + std::to_wstring(i % 10) + L"</e>";
  wide += L"</list>";
  ASSERT_TRUE(Load(doc.Get(), wide));
  EXPECT_EQ(Text(Select(doc.Get(), L"/list/e[@n='99999']").Get()), L"9");
  EXPECT_EQ(Text(doc.Get()).size(), static_cast<std::size_t>(kCount));
}

TEST_F(XmlDomTest, ThreadsReadWhileTheDocumentLoadsAnotherText) {
  auto doc = NewDocument();
  ASSERT_TRUE(Load(doc.Get(), L"<v>1</v>"));
  std::thread reader([&] {
    for (int i = 0; i < 200; ++i) {
      const std::wstring text = Text(Select(doc.Get(), L"/v").Get());
      if (text != L"1" && text != L"2") ADD_FAILURE() << "read " << WideToUtf8(text);
    }
  });
  for (int i = 0; i < 200; ++i) Load(doc.Get(), i % 2 == 0 ? L"<v>2</v>" : L"<v>1</v>");
  reader.join();
}

}  // namespace
}  // namespace platform
