// The page carried as resource "JS" #102: its bytes and its structure.
#include <gtest/gtest.h>

#include <string>

#include "browser/BootstrapPage.h"
#include "platform/Resources.h"
#include "platform/CodePage.h"
#include "platform/webbrowser/Dom.h"

namespace {

std::string PageBytes() {
  const unsigned char* data = nullptr;
  size_t size = 0;
  EXPECT_TRUE(FindModuleResource("JS", "#102", &data, &size));
  return std::string(reinterpret_cast<const char*>(data), size);
}

std::string Attr(const dom::Node* node, const char* name) {
  const std::string* v = node ? dom::GetAttribute(node, name) : nullptr;
  return v ? *v : "<none>";
}

std::vector<dom::Node*> ElementChildren(dom::Node* node) {
  std::vector<dom::Node*> out;
  for (const dom::NodePtr& c : node->children)
    if (c->type == dom::NodeType::Element) out.push_back(c.get());
  return out;
}

TEST(PageResourceTest, AsciiWithCrLfLineEndsAndTheDoctype) {
  std::string page = PageBytes();
  ASSERT_FALSE(page.empty());
  for (size_t i = 0; i < page.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(page[i]);
    ASSERT_LT(c, 0x80) << "at " << i;
    ASSERT_NE(c, 0) << "no NUL inside the page";
    if (c == '\n') {
      ASSERT_TRUE(i > 0 && page[i - 1] == '\r') << "bare LF at " << i;
    }
    if (c == '\r') {
      ASSERT_TRUE(i + 1 < page.size() && page[i + 1] == '\n') << "bare CR at " << i;
    }
  }
  EXPECT_EQ(page.rfind("<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
                       "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">\r\n",
                       0),
            0u);
  EXPECT_EQ(ReadPageResource("JS", "#102"), AnsiToWide(page));
}

TEST(PageResourceTest, OtherResourcesDoNotExist) {
  const unsigned char* data = reinterpret_cast<const unsigned char*>("x");
  size_t size = 7;
  EXPECT_FALSE(FindModuleResource("JS", "#103", &data, &size));
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_FALSE(FindModuleResource("HTML", "#102", &data, &size));
  EXPECT_TRUE(ReadPageResource("JS", "102").empty());
}

TEST(PageResourceTest, StructureIdsAndStyles) {
  dom::NodePtr doc = dom::NewDocument();
  dom::ParseDocumentInto(doc.get(), PageBytes());
  dom::Node* head = dom::Head(doc.get());
  dom::Node* body = dom::Body(doc.get());
  ASSERT_TRUE(head && body);

  std::vector<dom::Node*> headChildren = ElementChildren(head);
  ASSERT_EQ(headChildren.size(), 3u);
  EXPECT_EQ(headChildren[0]->tag, "base");
  EXPECT_TRUE(headChildren[0]->attributes.empty()) << "an empty base element";
  EXPECT_EQ(headChildren[1]->tag, "meta");
  EXPECT_EQ(Attr(headChildren[1], "http-equiv"), "X-UA-Compatible");
  EXPECT_EQ(Attr(headChildren[1], "content"), "IE=edge");
  EXPECT_EQ(headChildren[2]->tag, "script");
  std::string script = dom::TextContent(headChildren[2]);
  for (const char* fn : {"function $(id)", "function createKestrixPrinter()", "function getKP()",
                         "function loadHTML(html, id)", "function loadHTMLIE(html, base)"})
    EXPECT_NE(script.find(fn), std::string::npos) << fn;

  EXPECT_EQ(Attr(body, "style"), "padding:0;margin:0;overflow:hidden");
  std::vector<dom::Node*> bodyChildren = ElementChildren(body);
  ASSERT_EQ(bodyChildren.size(), 3u);
  EXPECT_EQ(bodyChildren[0]->tag, "div");
  EXPECT_EQ(Attr(bodyChildren[0], "id"), "iebody");
  EXPECT_TRUE(bodyChildren[0]->children.empty());
  EXPECT_EQ(bodyChildren[1]->tag, "div");
  EXPECT_EQ(Attr(bodyChildren[1], "id"), "kp-wrapper");
  EXPECT_TRUE(bodyChildren[1]->children.empty());
  EXPECT_EQ(bodyChildren[2]->tag, "iframe");
  EXPECT_EQ(Attr(bodyChildren[2], "id"), "htmlloader");
  EXPECT_EQ(Attr(bodyChildren[2], "style"), "width:1500px;height:1500px;left:-100px;top:-100px;position:absolute");
  std::vector<dom::Node*> scripts;
  dom::FindByTag(doc.get(), "script", &scripts);
  EXPECT_EQ(scripts.size(), 1u);
}

}  // namespace
