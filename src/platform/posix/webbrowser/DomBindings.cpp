// The DOM as script sees it: one prototype for every node wrapper, with
// accessors and methods that look at the node's kind.
//
// Native functions follow the engine's rule: Duktape calls first (reading
// arguments, which may run script through ToString), then C++ work inside
// Safely (all temporaries die there, exceptions are caught), then pushes of
// results from engine-owned storage. No C++ destructor is pending when a
// Duktape call can throw.
#include <cctype>
#include <cstring>

#include "platform/webbrowser/Cesu8.h"
#include "platform/webbrowser/Dom.h"
#include "platform/webbrowser/ScriptEngine.h"

namespace {

using dom::Node;
using dom::NodeType;

template <class F>
bool Safely(F&& f) noexcept {
  try {
    f();
    return true;
  } catch (...) {
    return false;
  }
}

void OutOfMemory(duk_context* ctx) { duk_error(ctx, DUK_ERR_RANGE_ERROR, "out of memory"); }

ScriptEngine* EngineOf(duk_context* ctx) { return ScriptEngine::From(ctx); }

Node* ThisNode(duk_context* ctx) {
  duk_push_this(ctx);
  Node* node = EngineOf(ctx)->NodeAt(ctx, -1);
  duk_pop(ctx);
  if (!node) duk_type_error(ctx, "not a DOM node");
  return node;
}

Node* ThisElement(duk_context* ctx) {
  Node* node = ThisNode(ctx);
  if (node->type != NodeType::Element) duk_type_error(ctx, "not an element");
  return node;
}

Node* ThisDocument(duk_context* ctx) {
  Node* node = ThisNode(ctx);
  if (node->type != NodeType::Document) duk_type_error(ctx, "not a document");
  return node;
}

std::string_view ArgText(duk_context* ctx, duk_idx_t idx) {
  duk_size_t len = 0;
  const char* s = duk_to_lstring(ctx, idx, &len);
  return std::string_view(s, len);
}

// Pushes the engine's scratch text and empties it.
void PushScratch(duk_context* ctx, ScriptEngine* engine) {
  ScriptEngine::PushUtf8(ctx, engine->Scratch());
  engine->Scratch().clear();
}

void PushAttribute(duk_context* ctx, Node* node, const char* name, bool nullWhenMissing) {
  const std::string* value = node->type == NodeType::Element ? dom::GetAttribute(node, name) : nullptr;
  if (value)
    ScriptEngine::PushUtf8(ctx, *value);
  else if (nullWhenMissing)
    duk_push_null(ctx);
  else
    duk_push_string(ctx, "");
}

void SetAttributeFromArg(duk_context* ctx, Node* node, std::string_view name, duk_idx_t valueIdx) {
  std::string_view value = ArgText(ctx, valueIdx);
  if (node->type != NodeType::Element) return;
  if (!Safely([&] { dom::SetAttribute(node, Cesu8ToUtf8(name), Cesu8ToUtf8(value)); })) OutOfMemory(ctx);
}

bool EqualsNoCaseAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// ---- reflected attributes -----------------------------------------------------------
template <const char* Name>
duk_ret_t GetReflected(duk_context* ctx) {
  PushAttribute(ctx, ThisNode(ctx), Name, false);
  return 1;
}
template <const char* Name>
duk_ret_t SetReflected(duk_context* ctx) {
  Node* node = ThisNode(ctx);
  SetAttributeFromArg(ctx, node, Name, 0);
  return 0;
}
constexpr char kId[] = "id";
constexpr char kClass[] = "class";
constexpr char kHref[] = "href";
constexpr char kSrc[] = "src";
constexpr char kName[] = "name";
constexpr char kType[] = "type";
constexpr char kValue[] = "value";
constexpr char kTitle[] = "title";

// ---- node accessors ----------------------------------------------------------------
duk_ret_t GetNodeType(duk_context* ctx) {
  duk_push_int(ctx, static_cast<int>(ThisNode(ctx)->type));
  return 1;
}

void PushUpperTag(duk_context* ctx, const Node* node) {
  const std::string& tag = node->tag;
  if (tag.empty()) {
    duk_push_string(ctx, "");
    return;
  }
  auto* buf = static_cast<char*>(duk_push_fixed_buffer(ctx, tag.size()));
  for (size_t i = 0; i < tag.size(); ++i) buf[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(tag[i])));
  duk_buffer_to_string(ctx, -1);
}

duk_ret_t GetNodeName(duk_context* ctx) {
  Node* node = ThisNode(ctx);
  switch (node->type) {
    case NodeType::Element: PushUpperTag(ctx, node); break;
    case NodeType::Text: duk_push_string(ctx, "#text"); break;
    case NodeType::Comment: duk_push_string(ctx, "#comment"); break;
    case NodeType::Document: duk_push_string(ctx, "#document"); break;
  }
  return 1;
}

duk_ret_t GetTagName(duk_context* ctx) {
  Node* node = ThisNode(ctx);
  if (node->type == NodeType::Element)
    PushUpperTag(ctx, node);
  else
    duk_push_undefined(ctx);
  return 1;
}

duk_ret_t GetInnerHtml(duk_context* ctx) {
  Node* node = ThisNode(ctx);
  ScriptEngine* engine = EngineOf(ctx);
  if (!Safely([&] { engine->Scratch() = dom::InnerHtml(node); })) OutOfMemory(ctx);
  PushScratch(ctx, engine);
  return 1;
}

duk_ret_t SetInnerHtml(duk_context* ctx) {
  std::string_view html = ArgText(ctx, 0);
  Node* node = ThisElement(ctx);
  // Markup set here is data: its scripts and event handlers never run.
  if (!Safely([&] { dom::SetInnerHtml(node, Cesu8ToUtf8(html)); })) OutOfMemory(ctx);
  return 0;
}

duk_ret_t GetOuterHtml(duk_context* ctx) {
  Node* node = ThisNode(ctx);
  ScriptEngine* engine = EngineOf(ctx);
  if (!Safely([&] { engine->Scratch() = dom::OuterHtml(node); })) OutOfMemory(ctx);
  PushScratch(ctx, engine);
  return 1;
}

duk_ret_t GetText(duk_context* ctx) {
  Node* node = ThisNode(ctx);
  ScriptEngine* engine = EngineOf(ctx);
  if (!Safely([&] { engine->Scratch() = dom::TextContent(node); })) OutOfMemory(ctx);
  PushScratch(ctx, engine);
  return 1;
}

duk_ret_t SetText(duk_context* ctx) {
  std::string_view text = ArgText(ctx, 0);
  Node* node = ThisNode(ctx);
  bool ok = Safely([&] {
    if (node->type == NodeType::Text || node->type == NodeType::Comment) {
      node->text = Cesu8ToUtf8(text);
      return;
    }
    dom::RemoveChildren(node);
    if (text.empty()) return;
    dom::NodePtr child = dom::NewText(Cesu8ToUtf8(text));
    child->parent = node;
    node->children.push_back(std::move(child));
  });
  if (!ok) OutOfMemory(ctx);
  return 0;
}

duk_ret_t GetNodeValue(duk_context* ctx) {
  Node* node = ThisNode(ctx);
  if (node->type == NodeType::Text || node->type == NodeType::Comment)
    ScriptEngine::PushUtf8(ctx, node->text);
  else
    duk_push_null(ctx);
  return 1;
}

duk_ret_t SetNodeValue(duk_context* ctx) {
  std::string_view text = ArgText(ctx, 0);
  Node* node = ThisNode(ctx);
  if (node->type != NodeType::Text && node->type != NodeType::Comment) return 0;
  if (!Safely([&] { node->text = Cesu8ToUtf8(text); })) OutOfMemory(ctx);
  return 0;
}

duk_ret_t GetFirstChild(duk_context* ctx) {
  Node* node = ThisNode(ctx);
  EngineOf(ctx)->PushNode(ctx, node->children.empty() ? nullptr : node->children.front().get());
  return 1;
}

duk_ret_t GetLastChild(duk_context* ctx) {
  Node* node = ThisNode(ctx);
  EngineOf(ctx)->PushNode(ctx, node->children.empty() ? nullptr : node->children.back().get());
  return 1;
}

duk_ret_t GetParentNode(duk_context* ctx) {
  EngineOf(ctx)->PushNode(ctx, ThisNode(ctx)->parent);
  return 1;
}

duk_ret_t GetNextSibling(duk_context* ctx) {
  EngineOf(ctx)->PushNode(ctx, dom::NextSibling(ThisNode(ctx)));
  return 1;
}

duk_ret_t GetPreviousSibling(duk_context* ctx) {
  EngineOf(ctx)->PushNode(ctx, dom::PreviousSibling(ThisNode(ctx)));
  return 1;
}

void PushChildren(duk_context* ctx, Node* node, bool elementsOnly) {
  ScriptEngine* engine = EngineOf(ctx);
  duk_push_array(ctx);
  duk_uarridx_t n = 0;
  for (size_t i = 0; i < node->children.size(); ++i) {
    Node* child = node->children[i].get();
    if (elementsOnly && child->type != NodeType::Element) continue;
    engine->PushNode(ctx, child);
    duk_put_prop_index(ctx, -2, n++);
  }
}

duk_ret_t GetChildNodes(duk_context* ctx) {
  PushChildren(ctx, ThisNode(ctx), false);
  return 1;
}

duk_ret_t GetElementChildren(duk_context* ctx) {
  PushChildren(ctx, ThisNode(ctx), true);
  return 1;
}

duk_ret_t GetOwnerDocument(duk_context* ctx) {
  Node* node = ThisNode(ctx);
  Node* root = dom::RootOf(node);
  EngineOf(ctx)->PushNode(ctx, node->type != NodeType::Document && root->type == NodeType::Document ? root : nullptr);
  return 1;
}

// style: a snapshot of the style attribute, one member per declaration
// (names in camel case) plus cssText. Changing it does not change the node.
duk_ret_t GetStyle(duk_context* ctx) {
  Node* node = ThisNode(ctx);
  duk_push_object(ctx);
  const std::string* style = node->type == NodeType::Element ? dom::GetAttribute(node, "style") : nullptr;
  if (!style) {
    duk_push_string(ctx, "");
    duk_put_prop_string(ctx, -2, "cssText");
    return 1;
  }
  ScriptEngine::PushUtf8(ctx, *style);
  duk_put_prop_string(ctx, -2, "cssText");
  const std::string& s = *style;
  auto trim = [&s](size_t* b, size_t* e) {
    while (*b < *e && std::isspace(static_cast<unsigned char>(s[*b]))) ++*b;
    while (*e > *b && std::isspace(static_cast<unsigned char>(s[*e - 1]))) --*e;
  };
  size_t pos = 0;
  while (pos < s.size()) {
    size_t end = s.find(';', pos);
    if (end == std::string::npos) end = s.size();
    size_t colon = s.find(':', pos);
    if (colon != std::string::npos && colon < end) {
      size_t nb = pos, ne = colon, vb = colon + 1, ve = end;
      trim(&nb, &ne);
      trim(&vb, &ve);
      if (ne > nb) {
        // Name in camel case, built in a heap buffer.
        auto* buf = static_cast<char*>(duk_push_fixed_buffer(ctx, ne - nb));
        size_t n = 0;
        bool upper = false;
        for (size_t i = nb; i < ne; ++i) {
          char c = static_cast<char>(std::tolower(static_cast<unsigned char>(s[i])));
          if (c == '-') {
            upper = n > 0;
            continue;
          }
          buf[n++] = upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
          upper = false;
        }
        duk_push_lstring(ctx, buf, n);
        duk_remove(ctx, -2);
        ScriptEngine::PushUtf8(ctx, std::string_view(s).substr(vb, ve - vb));
        duk_put_prop(ctx, -3);
      }
    }
    pos = end + 1;
  }
  return 1;
}

Node* ContentDocumentOf(duk_context* ctx, Node* node) {
  Node* doc = nullptr;
  if (!Safely([&] { doc = dom::ContentDocument(node); })) OutOfMemory(ctx);
  return doc;
}

duk_ret_t GetContentWindow(duk_context* ctx) {
  Node* doc = ContentDocumentOf(ctx, ThisNode(ctx));
  if (!doc) {
    duk_push_undefined(ctx);
    return 1;
  }
  duk_push_object(ctx);
  EngineOf(ctx)->PushNode(ctx, doc);
  duk_put_prop_string(ctx, -2, "document");
  return 1;
}

duk_ret_t GetContentDocument(duk_context* ctx) {
  Node* doc = ContentDocumentOf(ctx, ThisNode(ctx));
  if (doc)
    EngineOf(ctx)->PushNode(ctx, doc);
  else
    duk_push_undefined(ctx);
  return 1;
}

duk_ret_t GetObject(duk_context* ctx) {
  Node* node = ThisNode(ctx);
  if (node->type == NodeType::Element && node->tag == "object" && node->controlState == dom::ControlState::Created)
    EngineOf(ctx)->PushForeign(ctx, node->control.Get());
  else
    duk_push_null(ctx);
  return 1;
}

duk_ret_t GetBody(duk_context* ctx) {
  EngineOf(ctx)->PushNode(ctx, dom::Body(ThisDocument(ctx)));
  return 1;
}

duk_ret_t GetHead(duk_context* ctx) {
  EngineOf(ctx)->PushNode(ctx, dom::Head(ThisDocument(ctx)));
  return 1;
}

duk_ret_t GetDocumentElement(duk_context* ctx) {
  EngineOf(ctx)->PushNode(ctx, dom::DocumentElement(ThisDocument(ctx)));
  return 1;
}

duk_ret_t GetReadyState(duk_context* ctx) {
  Node* doc = ThisDocument(ctx);
  duk_push_string(ctx, doc->writing ? "loading" : "complete");
  return 1;
}

// ---- methods ---------------------------------------------------------------------------
duk_ret_t GetAttributeMethod(duk_context* ctx) {
  std::string_view name = ArgText(ctx, 0);
  Node* node = ThisNode(ctx);
  const std::string* value = nullptr;
  if (node->type == NodeType::Element) {
    for (const auto& [n, v] : node->attributes)
      if (EqualsNoCaseAscii(n, name)) {
        value = &v;
        break;
      }
  }
  if (value)
    ScriptEngine::PushUtf8(ctx, *value);
  else
    duk_push_null(ctx);
  return 1;
}

duk_ret_t SetAttributeMethod(duk_context* ctx) {
  std::string_view name = ArgText(ctx, 0);
  duk_to_lstring(ctx, 1, nullptr);
  Node* node = ThisNode(ctx);
  // Attributes are stored, never acted on: an "on..." handler set here stays text.
  SetAttributeFromArg(ctx, node, name, 1);
  return 0;
}

duk_ret_t RemoveAttributeMethod(duk_context* ctx) {
  std::string_view name = ArgText(ctx, 0);
  Node* node = ThisNode(ctx);
  bool removed = false;
  if (node->type == NodeType::Element && !Safely([&] { removed = dom::RemoveAttribute(node, Cesu8ToUtf8(name)); }))
    OutOfMemory(ctx);
  duk_push_boolean(ctx, removed);
  return 1;
}

duk_ret_t HasAttributeMethod(duk_context* ctx) {
  std::string_view name = ArgText(ctx, 0);
  Node* node = ThisNode(ctx);
  bool found = false;
  if (node->type == NodeType::Element)
    for (const auto& [n, v] : node->attributes) found = found || EqualsNoCaseAscii(n, name);
  duk_push_boolean(ctx, found);
  return 1;
}

duk_ret_t GetElementByIdMethod(duk_context* ctx) {
  std::string_view id = ArgText(ctx, 0);
  Node* node = ThisNode(ctx);
  Node* found = nullptr;
  if (!Safely([&] { found = dom::FindById(node, Cesu8ToUtf8(id)); })) OutOfMemory(ctx);
  EngineOf(ctx)->PushNode(ctx, found);
  return 1;
}

void PushByTag(duk_context* ctx, ScriptEngine* engine, Node* node, std::string_view tag, duk_uarridx_t* n, int depth) {
  if (depth > 2 * dom::kMaxDepth) return;
  for (size_t i = 0; i < node->children.size(); ++i) {
    Node* child = node->children[i].get();
    if (child->type != NodeType::Element) continue;
    if (tag == "*" || EqualsNoCaseAscii(child->tag, tag)) {
      engine->PushNode(ctx, child);
      duk_put_prop_index(ctx, -2, (*n)++);
    }
    PushByTag(ctx, engine, child, tag, n, depth + 1);
  }
}

// A snapshot array in document order (not a live collection).
duk_ret_t GetElementsByTagNameMethod(duk_context* ctx) {
  std::string_view tag = ArgText(ctx, 0);
  Node* node = ThisNode(ctx);
  duk_push_array(ctx);
  duk_uarridx_t n = 0;
  PushByTag(ctx, EngineOf(ctx), node, tag, &n, 0);
  return 1;
}

// removeNode(deep): takes the node out of its parent; without deep its
// children stay in its place. Returns the node.
duk_ret_t RemoveNodeMethod(duk_context* ctx) {
  bool deep = duk_to_boolean(ctx, 0);
  Node* node = ThisNode(ctx);
  if (!Safely([&] { dom::RemoveNode(node, deep); })) OutOfMemory(ctx);
  duk_push_this(ctx);
  return 1;
}

duk_ret_t OpenMethod(duk_context* ctx) {
  Node* doc = ThisDocument(ctx);
  if (!Safely([&] { dom::DocumentOpen(doc); })) OutOfMemory(ctx);
  duk_push_this(ctx);
  return 1;
}

duk_ret_t WriteCommon(duk_context* ctx, bool newline) {
  duk_idx_t n = duk_get_top(ctx);
  for (duk_idx_t i = 0; i < n; ++i) duk_to_string(ctx, i);
  Node* doc = ThisDocument(ctx);
  bool ok = Safely([&] {
    for (duk_idx_t i = 0; i < n; ++i) {
      duk_size_t len = 0;
      const char* s = duk_get_lstring(ctx, i, &len);  // already strings: cannot throw
      dom::DocumentWrite(doc, Cesu8ToUtf8(std::string_view(s, len)));
    }
    if (newline) dom::DocumentWrite(doc, "\n");
  });
  if (!ok) OutOfMemory(ctx);
  return 0;
}

duk_ret_t WriteMethod(duk_context* ctx) { return WriteCommon(ctx, false); }
duk_ret_t WritelnMethod(duk_context* ctx) { return WriteCommon(ctx, true); }

duk_ret_t CloseMethod(duk_context* ctx) {
  Node* doc = ThisDocument(ctx);
  // Written markup is data: parsed, never run.
  if (!Safely([&] { dom::DocumentClose(doc); })) OutOfMemory(ctx);
  return 0;
}

duk_ret_t ToStringMethod(duk_context* ctx) {
  Node* node = ThisNode(ctx);
  if (node->type == NodeType::Element) {
    duk_push_string(ctx, "[object HTML");
    PushUpperTag(ctx, node);
    duk_push_string(ctx, "Element]");
    duk_concat(ctx, 3);
  } else {
    duk_push_string(ctx, node->type == NodeType::Document ? "[object HTMLDocument]" : "[object Node]");
  }
  return 1;
}

struct Accessor {
  const char* name;
  duk_c_function getter;
  duk_c_function setter;
};

struct Method {
  const char* name;
  duk_c_function fn;
  duk_idx_t nargs;
};

}  // namespace

void InstallDomBindings(duk_context* ctx) {
  static const Accessor kAccessors[] = {
      {"nodeType", GetNodeType, nullptr},
      {"nodeName", GetNodeName, nullptr},
      {"tagName", GetTagName, nullptr},
      {"id", GetReflected<kId>, SetReflected<kId>},
      {"className", GetReflected<kClass>, SetReflected<kClass>},
      {"href", GetReflected<kHref>, SetReflected<kHref>},
      {"src", GetReflected<kSrc>, SetReflected<kSrc>},
      {"name", GetReflected<kName>, SetReflected<kName>},
      {"type", GetReflected<kType>, SetReflected<kType>},
      {"value", GetReflected<kValue>, SetReflected<kValue>},
      {"title", GetReflected<kTitle>, SetReflected<kTitle>},
      {"innerHTML", GetInnerHtml, SetInnerHtml},
      {"outerHTML", GetOuterHtml, nullptr},
      {"innerText", GetText, SetText},
      {"textContent", GetText, SetText},
      {"nodeValue", GetNodeValue, SetNodeValue},
      {"data", GetNodeValue, SetNodeValue},
      {"firstChild", GetFirstChild, nullptr},
      {"lastChild", GetLastChild, nullptr},
      {"parentNode", GetParentNode, nullptr},
      {"nextSibling", GetNextSibling, nullptr},
      {"previousSibling", GetPreviousSibling, nullptr},
      {"childNodes", GetChildNodes, nullptr},
      {"children", GetElementChildren, nullptr},
      {"ownerDocument", GetOwnerDocument, nullptr},
      {"style", GetStyle, nullptr},
      {"contentWindow", GetContentWindow, nullptr},
      {"contentDocument", GetContentDocument, nullptr},
      {"object", GetObject, nullptr},
      {"body", GetBody, nullptr},
      {"head", GetHead, nullptr},
      {"documentElement", GetDocumentElement, nullptr},
      {"readyState", GetReadyState, nullptr},
  };
  static const Method kMethods[] = {
      {"getAttribute", GetAttributeMethod, 1},
      {"setAttribute", SetAttributeMethod, 2},
      {"removeAttribute", RemoveAttributeMethod, 1},
      {"hasAttribute", HasAttributeMethod, 1},
      {"getElementById", GetElementByIdMethod, 1},
      {"getElementsByTagName", GetElementsByTagNameMethod, 1},
      {"removeNode", RemoveNodeMethod, 1},
      {"open", OpenMethod, 0},
      {"write", WriteMethod, DUK_VARARGS},
      {"writeln", WritelnMethod, DUK_VARARGS},
      {"close", CloseMethod, 0},
      {"toString", ToStringMethod, 0},
  };

  duk_push_global_stash(ctx);
  duk_push_object(ctx);
  duk_idx_t proto = duk_get_top_index(ctx);
  for (const Accessor& a : kAccessors) {
    duk_uint_t flags = DUK_DEFPROP_HAVE_GETTER | DUK_DEFPROP_HAVE_CONFIGURABLE | DUK_DEFPROP_CONFIGURABLE;
    duk_push_string(ctx, a.name);
    duk_push_c_function(ctx, a.getter, 0);
    if (a.setter) {
      duk_push_c_function(ctx, a.setter, 1);
      flags |= DUK_DEFPROP_HAVE_SETTER;
    }
    duk_def_prop(ctx, proto, flags);
  }
  for (const Method& m : kMethods) {
    duk_push_c_function(ctx, m.fn, m.nargs);
    duk_put_prop_string(ctx, proto, m.name);
  }
  duk_put_prop_string(ctx, -2, DUK_HIDDEN_SYMBOL("NodeProto"));
  duk_pop(ctx);
}
