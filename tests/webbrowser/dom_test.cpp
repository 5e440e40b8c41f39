// The minimal DOM as the page's script sees it, and its bounds on hostile
// markup.
#include <gtest/gtest.h>

#include <memory>

#include "BrowserTestSupport.h"
#include "platform/webbrowser/Dom.h"
#include "platform/webbrowser/HtmlDocument.h"
#include "platform/webbrowser/ScriptEngine.h"

using namespace browsertest;

namespace {

constexpr const char* kPage = R"(<!DOCTYPE html><html><head><base><title>t</title></head>
<body style="padding:0; background-color : red"><div id="a" class="c1">one<b>two</b></div><p id="p">x</p>
<div id="list"><span>1</span><span>2</span><i>3</i></div><iframe id="frame"></iframe></body></html>)";

class DomTest : public ::testing::Test {
 protected:
  void SetUp() override {
    doc_ = HtmlDocument::LoadText(kPage, nullptr);
    ASSERT_TRUE(doc_);
    ComPtr<IDispatch> script;
    ASSERT_EQ(doc_->get_Script(&script), S_OK);
    global_ = script;
  }
  void TearDown() override {
    global_.Release();
    doc_->Close();
  }
  // Evaluates an expression in the page and returns it as text.
  std::u16string Eval(const std::string& expression) {
    std::string error;
    if (!doc_->Engine()->Eval("var __r = String(" + expression + ");", &error))
      return u"error: " + Utf8ToUtf16(error);
    Variant v;
    EXPECT_EQ(Get(global_.Get(), u"__r", &v), S_OK);
    return Text(v);
  }
  bool Run(const std::string& program, std::string* error = nullptr) {
    std::string ignored;
    return doc_->Engine()->Eval(program, error ? error : &ignored);
  }

  ComPtr<HtmlDocument> doc_;
  ComPtr<IDispatch> global_;
};

TEST_F(DomTest, DocumentQueries) {
  EXPECT_EQ(Eval("document.nodeType"), u"9");
  EXPECT_EQ(Eval("document.getElementById('a').tagName"), u"DIV");
  EXPECT_EQ(Eval("document.getElementById('missing')"), u"null");
  EXPECT_EQ(Eval("document.getElementsByTagName('span').length"), u"2");
  EXPECT_EQ(Eval("document.getElementsByTagName('SPAN')[1].innerHTML"), u"2");
  EXPECT_EQ(Eval("document.getElementById('list').getElementsByTagName('*').length"), u"3");
  EXPECT_EQ(Eval("document.body.tagName + document.documentElement.tagName + document.getElementsByTagName('head')[0].nodeName"),
            u"BODYHTMLHEAD");
  EXPECT_EQ(Eval("document.body.firstChild.id"), u"a");
}

TEST_F(DomTest, NodesAndAttributes) {
  EXPECT_EQ(Eval("document.getElementById('a').firstChild.nodeType"), u"3");
  EXPECT_EQ(Eval("document.getElementById('a').firstChild.nodeValue"), u"one");
  EXPECT_EQ(Eval("document.getElementById('a').childNodes.length"), u"2");
  EXPECT_EQ(Eval("document.getElementById('a').className"), u"c1");
  EXPECT_EQ(Eval("document.getElementById('a').getAttribute('CLASS')"), u"c1");
  EXPECT_EQ(Eval("document.getElementById('a').getAttribute('nothing')"), u"null");
  ASSERT_TRUE(Run("var a = document.getElementById('a'); a.setAttribute('data-x', 'y'); a.id = 'renamed';"));
  EXPECT_EQ(Eval("document.getElementById('renamed').getAttribute('data-x')"), u"y");
  EXPECT_EQ(Eval("document.getElementById('a')"), u"null");
  EXPECT_EQ(Eval("document.getElementById('p').parentNode.tagName"), u"BODY");
  EXPECT_EQ(Eval("document.getElementById('p').previousSibling.id"), u"renamed");
}

TEST_F(DomTest, StyleReadsTheStyleAttribute) {
  EXPECT_EQ(Eval("document.body.style.padding"), u"0");
  EXPECT_EQ(Eval("document.body.style.backgroundColor"), u"red");
  EXPECT_EQ(Eval("document.body.style.cssText"), u"padding:0; background-color : red");
  EXPECT_EQ(Eval("document.getElementById('p').style.cssText"), u"");
}

TEST_F(DomTest, InnerHtmlSetsParsedChildrenAndSerialises) {
  ASSERT_TRUE(Run("document.getElementById('p').innerHTML = 'a<em class=\"k\">b &amp; c</em><br>d';"));
  EXPECT_EQ(Eval("document.getElementById('p').childNodes.length"), u"4");
  EXPECT_EQ(Eval("document.getElementById('p').innerHTML"), u"a<em class=\"k\">b &amp; c</em><br>d");
  EXPECT_EQ(Eval("document.getElementById('p').getElementsByTagName('em')[0].parentNode.id"), u"p");
  // Text set as innerHTML is escaped on the way out.
  ASSERT_TRUE(Run("document.getElementById('p').innerHTML = '1 &lt; 2';"));
  EXPECT_EQ(Eval("document.getElementById('p').firstChild.nodeValue"), u"1 < 2");
  EXPECT_EQ(Eval("document.getElementById('p').outerHTML"), u"<p id=\"p\">1 &lt; 2</p>");
}

TEST_F(DomTest, RemoveNodeDeepAndShallow) {
  ASSERT_TRUE(Run("document.getElementById('list').removeNode(false);"));
  EXPECT_EQ(Eval("document.getElementById('list')"), u"null");
  EXPECT_EQ(Eval("document.getElementsByTagName('span')[0].parentNode.tagName"), u"BODY") << "children moved up";
  ASSERT_TRUE(Run("document.getElementById('a').removeNode(true);"));
  EXPECT_EQ(Eval("document.getElementsByTagName('b').length"), u"0");
  // A removed node keeps its own subtree and can be removed again harmlessly.
  ASSERT_TRUE(Run("var p = document.getElementById('p'); p.removeNode(true); p.removeNode(true);"));
  EXPECT_EQ(Eval("p.firstChild.nodeValue + (p.parentNode === null)"), u"xtrue");
}

TEST_F(DomTest, BaseHrefIsSettable) {
  ASSERT_TRUE(Run("document.getElementsByTagName('base')[0].href = 'http://example.test/dir/';"));
  EXPECT_EQ(Eval("document.getElementsByTagName('base')[0].getAttribute('href')"), u"http://example.test/dir/");
}

TEST_F(DomTest, IframeDocumentIsWrittenAndParsed) {
  EXPECT_EQ(Eval("document.getElementById('frame').contentWindow.document.body.childNodes.length"), u"0");
  ASSERT_TRUE(Run("var d = document.getElementById('frame').contentWindow.document;"
                  "d.open(); d.writeln('<div id=\"x\">in</div>'); d.write('<p>', 'two', '</p>'); d.close();"));
  EXPECT_EQ(Eval("d.getElementById('x').innerHTML"), u"in");
  EXPECT_EQ(Eval("d.body.firstChild.id"), u"x");
  EXPECT_EQ(Eval("d.getElementsByTagName('p')[0].innerHTML"), u"two");
  EXPECT_EQ(Eval("document.getElementById('x')"), u"null") << "the frame's document is its own tree";
  // A new open() starts over; text first is a text node.
  ASSERT_TRUE(Run("d.open(); d.writeln('hello <b>world</b>'); d.close();"));
  EXPECT_EQ(Eval("d.body.firstChild.nodeType + ':' + d.body.firstChild.nodeValue"), u"3:hello ");
  EXPECT_EQ(Eval("d.getElementById('x')"), u"null");
}

TEST_F(DomTest, MarkupFromScriptNeverRunsScript) {
  ASSERT_TRUE(Run("var hit = 0;"));
  ASSERT_TRUE(Run("document.getElementById('p').innerHTML = '<script>hit = 1;</scr' + 'ipt><img src=x onerror=\"hit = 2\">"
                  "<div onclick=\"hit = 3\" onmouseover=\"hit=4\">x</div><a href=\"javascript:hit=5\">l</a>';"));
  ASSERT_TRUE(Run("var d = document.getElementById('frame').contentWindow.document;"
                  "d.open(); d.writeln('<body onload=\"hit = 6\"><script>hit = 7;</scr' + 'ipt><iframe src=\"javascript:hit=8\"></iframe>'); d.close();"
                  "document.getElementById('p').setAttribute('onclick', 'hit = 9');"));
  EXPECT_EQ(Eval("hit"), u"0");
  EXPECT_EQ(Eval("document.getElementsByTagName('script').length"), u"1") << "kept as inert data";
}

TEST_F(DomTest, WrongReceiversAreScriptErrorsNotCrashes) {
  std::string error;
  EXPECT_FALSE(Run("document.getElementById.call({}, 'a');", &error));
  EXPECT_NE(error.find("TypeError"), std::string::npos);
  EXPECT_FALSE(Run("document.body.open();", &error)) << "open is for documents";
  EXPECT_FALSE(Run("Object.getOwnPropertyDescriptor(Object.getPrototypeOf(document), 'innerHTML').get.call(5);", &error));
  EXPECT_EQ(Eval("1 + 1"), u"2");
}

TEST(DomLimitsTest, DeepNestingIsCutBeforeTheParser) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<div>";
  deep += "bottom";
  dom::NodePtr doc = dom::NewDocument();
  dom::ParseDocumentInto(doc.get(), "<html><body><div id='host'></div></body></html>");
  dom::Node* host = dom::FindById(doc.get(), "host");
  ASSERT_NE(host, nullptr);
  dom::SetInnerHtml(host, deep);
  int maxDepth = 0;
  std::vector<dom::Node*> all;
  dom::FindByTag(doc.get(), "*", &all);
  for (dom::Node* n : all) maxDepth = std::max(maxDepth, dom::DepthOf(n));
  EXPECT_LE(maxDepth, dom::kMaxDepth);
  EXPECT_GT(maxDepth, dom::kMaxDepth / 2) << "nesting up to the limit is kept";
  EXPECT_NE(dom::TextContent(host).find("bottom"), std::string::npos) << "content of dropped tags stays";
  EXPECT_FALSE(dom::InnerHtml(host).empty());
}

TEST(DomLimitsTest, NestingEstimateFollowsTheTreeBuilder) {
  // Ordinary sloppy markup is left alone.
  std::string rows = "<table>";
  for (int i = 0; i < 2000; ++i) rows += "<tr><td>cell<td>cell";
  rows += "</table>";
  EXPECT_EQ(dom::LimitNesting(rows, 64), rows);
  std::string items = "<ul>";
  for (int i = 0; i < 2000; ++i) items += "<li><p>item";
  EXPECT_EQ(dom::LimitNesting(items, 64), items);
  // Formatting elements reopened by the parser count as open.
  std::string reopened;
  for (int i = 0; i < 200; ++i) reopened += "<div><b id=" + std::to_string(i) + "></div>x";
  dom::NodePtr doc = dom::NewDocument();
  dom::ParseDocumentInto(doc.get(), dom::LimitNesting(reopened, 64));
  std::vector<dom::Node*> all;
  dom::FindByTag(doc.get(), "*", &all);
  int maxDepth = 0;
  for (dom::Node* n : all) maxDepth = std::max(maxDepth, dom::DepthOf(n));
  EXPECT_LE(maxDepth, 64 + 8);
  // Tags hidden in a quoted attribute value are not tags, but a quote that
  // does not follow '=' hides nothing.
  std::string tricky = "<div title=a\"b>";
  for (int i = 0; i < 100; ++i) tricky += "<div>";
  std::string limited = dom::LimitNesting(tricky, 10);
  size_t count = 0;
  for (size_t p = limited.find("<div"); p != std::string::npos; p = limited.find("<div", p + 1)) ++count;
  EXPECT_EQ(count, 10u);
}

TEST(DomLimitsTest, HugeAttributesAndTextAreKept) {
  std::string big(1 << 20, 'x');
  dom::NodePtr doc = dom::NewDocument();
  dom::ParseDocumentInto(doc.get(), "<div id=\"a\" title=\"" + big + "\">" + big + "</div>");
  dom::Node* a = dom::FindById(doc.get(), "a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(dom::GetAttribute(a, "title")->size(), big.size());
  EXPECT_EQ(dom::TextContent(a).size(), big.size());
}

TEST(DomLimitsTest, MalformedMarkupParsesToSomething) {
  for (const char* html : {"<", "</", "<!--", "<div", "<div a='", "<script>", "<svg><style><div><div>", "&#xFFFFFFFF;",
                           "<table><td><table><td>", "\xFF\xFE<\x80>", "<plaintext><b>"}) {
    dom::NodePtr doc = dom::NewDocument();
    dom::ParseDocumentInto(doc.get(), html);
    EXPECT_NE(dom::Body(doc.get()), nullptr) << html;
  }
}

}  // namespace
