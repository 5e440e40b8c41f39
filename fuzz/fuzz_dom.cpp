// HTML through the minimal DOM: parsed as a document, set as innerHTML, and
// written into a document with open / writeln / close, both directly and
// through the bootstrap page's script (loadHTML writes into the "htmlloader"
// iframe; innerHTML of the "iebody" div, as loadHTMLIE sets it).
//
// Checked: every tree stays consistent (each child's parent link points at
// its parent) and no node lies deeper than the DOM's nesting bound below its
// document; serialising a tree and parsing the result again works; the
// page's functions keep working after any input.
//
// Input: byte 0 picks the way in, the rest is the HTML (UTF-8).
#include <cstdint>
#include <string>

#include "platform/CodePage.h"
#include "platform/webbrowser/Dom.h"
#include "platform/webbrowser/ScriptObject.h"
#include "support/FuzzHost.h"

namespace {

const char kTarget[] = "fuzz_dom";

// Nodes visited, over the whole tree including iframe documents.
size_t CheckTree(const dom::Node* node, int depth) {
  fuzz::Check(depth <= dom::kMaxDepth + 1, kTarget, "a node lies deeper than the nesting bound");
  size_t count = 1;
  for (const dom::NodePtr& child : node->children) {
    fuzz::Check(child != nullptr, kTarget, "a null child");
    fuzz::Check(child->parent == node, kTarget, "a child's parent link does not point at its parent");
    count += CheckTree(child.get(), depth + 1);
  }
  if (node->contentDocument) count += CheckTree(node->contentDocument.get(), 0);
  return count;
}

void ThroughDomCalls(const std::string& html) {
  dom::NodePtr doc = dom::NewDocument();
  dom::ParseDocumentInto(doc.get(), html);
  CheckTree(doc.get(), 0);
  std::string again = dom::OuterHtml(doc.get());
  dom::NodePtr doc2 = dom::NewDocument();
  dom::ParseDocumentInto(doc2.get(), again);
  CheckTree(doc2.get(), 0);

  dom::NodePtr page = dom::NewDocument();
  dom::ParseDocumentInto(page.get(), "<html><body><div id=\"iebody\"></div></body></html>");
  dom::Node* div = dom::FindById(page.get(), "iebody");
  fuzz::Check(div != nullptr, kTarget, "no div in a fixed page");
  dom::SetInnerHtml(div, html);
  CheckTree(page.get(), 0);
  dom::SetInnerHtml(div, dom::InnerHtml(div));
  CheckTree(page.get(), 0);

  dom::NodePtr written = dom::NewDocument();
  dom::DocumentOpen(written.get());
  dom::DocumentWrite(written.get(), html);
  dom::DocumentWrite(written.get(), "\n");
  dom::DocumentClose(written.get());
  CheckTree(written.get(), 0);
  (void)dom::TextContent(written.get());
}

// Calls a script function of the page with string arguments (dispatch order: last first).
Variant CallPage(fuzz::FuzzHost& host, const std::string& name, const std::string& a, const std::string* b) {
  Variant args[2];
  UINT count = 1;
  if (b) {
    args[0] = Variant::FromString(AnsiToWide(*b));
    args[1] = Variant::FromString(AnsiToWide(a));
    count = 2;
  } else {
    args[0] = Variant::FromString(AnsiToWide(a));
  }
  return host.Proxy().CallScriptFunction(name, args, count);
}

// Sets or gets a property of a script object by name.
bool Property(IDispatch* object, const char16_t* name, WORD flags, VARIANT* value) {
  LPOLESTR names[1] = {const_cast<LPOLESTR>(reinterpret_cast<const OLECHAR*>(name))};
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return false;
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{};
  if (flags == DISPATCH_PROPERTYPUT) {
    params.rgvarg = value;
    params.cArgs = 1;
    params.rgdispidNamedArgs = &put;
    params.cNamedArgs = 1;
    return SUCCEEDED(object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, nullptr, nullptr, nullptr));
  }
  return SUCCEEDED(object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, value, nullptr, nullptr));
}

const dom::Node* PageDocument(fuzz::FuzzHost& host) {
  ScriptObject* wrapper = nullptr;
  if (FAILED(host.Script()->QueryInterface(IID_IScriptObjectWrapper, reinterpret_cast<void**>(&wrapper))) || !wrapper)
    fuzz::Fail(kTarget, "the page's script object is not a script wrapper");
  const dom::Node* doc = wrapper->Engine()->Document().get();
  wrapper->Release();
  return doc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::FuzzHost& host = fuzz::FuzzHost::Get();
  const uint8_t way = data[0] % 4;
  const std::string html = Utf8ToAnsi(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));

  switch (way) {
    case 0:
      ThroughDomCalls(html);
      break;
    case 1:
    case 2: {
      // loadHTML(html) or loadHTML(html, "x"): the iframe document is rewritten.
      std::string id = "x";
      Variant r = CallPage(host, "loadHTML", html, way == 2 ? &id : nullptr);
      break;
    }
    case 3: {
      Variant div = CallPage(host, "$", "iebody", nullptr);
      fuzz::Check(div.vt == VT_DISPATCH && div.pdispVal, kTarget, "the page lost its iebody div");
      Variant text = Variant::FromString(AnsiToWide(html));
      Property(div.pdispVal, u"innerHTML", DISPATCH_PROPERTYPUT, &text);
      Variant back;
      fuzz::Check(Property(div.pdispVal, u"innerHTML", DISPATCH_PROPERTYGET, &back), kTarget,
                  "innerHTML cannot be read back");
      Variant empty = Variant::FromString(u"");
      Property(div.pdispVal, u"innerHTML", DISPATCH_PROPERTYPUT, &empty);
      break;
    }
  }
  host.Pump();
  CheckTree(PageDocument(host), 0);
  // The page still answers: the control is still there for the next request.
  Variant kp = CallPage(host, "$", "_kestrixPrinter", nullptr);
  fuzz::Check(kp.vt == VT_DISPATCH && kp.pdispVal, kTarget, "the control's element is gone");
  host.TakeFrames();
  host.Forget();
  return 0;
}
