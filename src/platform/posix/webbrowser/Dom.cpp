#include "platform/webbrowser/Dom.h"

#include <algorithm>
#include <cctype>

namespace dom {

namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

size_t IndexInParent(const Node* node) {
  const auto& siblings = node->parent->children;
  for (size_t i = 0; i < siblings.size(); ++i)
    if (siblings[i].get() == node) return i;
  return siblings.size();
}

bool IsRawTextElement(std::string_view tag) {
  return tag == "script" || tag == "style" || tag == "xmp" || tag == "iframe" || tag == "noembed" ||
         tag == "noframes" || tag == "plaintext" || tag == "noscript";
}

void EscapeInto(std::string* out, std::string_view text, bool attribute) {
  for (char c : text) {
    switch (c) {
      case '&': *out += "&amp;"; break;
      case '<': *out += attribute ? "<" : "&lt;"; break;
      case '>': *out += attribute ? ">" : "&gt;"; break;
      case '"': *out += attribute ? "&quot;" : "\""; break;
      default: out->push_back(c);
    }
  }
}

void SerializeInto(std::string* out, const Node* node, int depth);

void SerializeChildren(std::string* out, const Node* node, int depth) {
  bool raw = node->type == NodeType::Element && IsRawTextElement(node->tag);
  for (const NodePtr& child : node->children) {
    if (raw && child->type == NodeType::Text)
      *out += child->text;
    else
      SerializeInto(out, child.get(), depth + 1);
  }
}

void SerializeInto(std::string* out, const Node* node, int depth) {
  if (depth > 2 * kMaxDepth) return;  // never reached by parsed trees
  switch (node->type) {
    case NodeType::Text: EscapeInto(out, node->text, false); break;
    case NodeType::Comment:
      *out += "<!--";
      *out += node->text;
      *out += "-->";
      break;
    case NodeType::Document: SerializeChildren(out, node, depth); break;
    case NodeType::Element:
      out->push_back('<');
      *out += node->tag;
      for (const auto& [name, value] : node->attributes) {
        out->push_back(' ');
        *out += name;
        *out += "=\"";
        EscapeInto(out, value, true);
        out->push_back('"');
      }
      out->push_back('>');
      if (IsVoidElement(node->tag)) break;
      SerializeChildren(out, node, depth);
      *out += "</";
      *out += node->tag;
      out->push_back('>');
      break;
  }
}

void TextInto(std::string* out, const Node* node, int depth) {
  if (depth > 2 * kMaxDepth) return;
  if (node->type == NodeType::Text) {
    *out += node->text;
    return;
  }
  if (node->type == NodeType::Comment) return;
  for (const NodePtr& child : node->children) TextInto(out, child.get(), depth + 1);
}

Node* FindByIdIn(Node* node, std::string_view id, int depth) {
  if (depth > 2 * kMaxDepth) return nullptr;
  for (const NodePtr& child : node->children) {
    if (child->type != NodeType::Element) continue;
    const std::string* value = GetAttribute(child.get(), "id");
    if (value && *value == id) return child.get();
    if (Node* found = FindByIdIn(child.get(), id, depth + 1)) return found;
  }
  return nullptr;
}

void FindByTagIn(Node* node, std::string_view tag, std::vector<Node*>* out, int depth) {
  if (depth > 2 * kMaxDepth) return;
  for (const NodePtr& child : node->children) {
    if (child->type != NodeType::Element) continue;
    if (tag == "*" || EqualsNoCase(child->tag, tag)) out->push_back(child.get());
    FindByTagIn(child.get(), tag, out, depth + 1);
  }
}

void CollectObjects(Node* node, std::vector<NodePtr>* out, int depth) {
  if (depth > 2 * kMaxDepth) return;
  for (const NodePtr& child : node->children) {
    if (child->type != NodeType::Element) continue;
    if (child->tag == "object" && child->controlState == ControlState::None) out->push_back(child);
    CollectObjects(child.get(), out, depth + 1);
  }
}

}  // namespace

Node::~Node() {
  for (const NodePtr& child : children)
    if (child->parent == this) child->parent = nullptr;
}

NodePtr NewDocument() { return std::make_shared<Node>(NodeType::Document); }

NodePtr NewElement(std::string tag) {
  auto node = std::make_shared<Node>(NodeType::Element);
  node->tag = std::move(tag);
  return node;
}

NodePtr NewText(std::string text) {
  auto node = std::make_shared<Node>(NodeType::Text);
  node->text = std::move(text);
  return node;
}

int DepthOf(const Node* node) {
  int depth = 0;
  for (const Node* p = node->parent; p; p = p->parent) ++depth;
  return depth;
}

Node* RootOf(Node* node) {
  while (node->parent) node = node->parent;
  return node;
}

bool IsConnectedTo(const Node* node, const Node* doc) {
  for (const Node* p = node; p; p = p->parent)
    if (p == doc) return true;
  return false;
}

void RemoveNode(Node* node, bool deep) {
  Node* parent = node->parent;
  if (!parent) return;
  size_t index = IndexInParent(node);
  if (index == parent->children.size()) return;
  NodePtr keep = parent->children[index];  // node may have no other owner
  parent->children.erase(parent->children.begin() + static_cast<ptrdiff_t>(index));
  node->parent = nullptr;
  if (deep) return;
  // Without deep, the children move up into the removed node's place.
  std::vector<NodePtr> moved = std::move(node->children);
  node->children.clear();
  for (const NodePtr& child : moved) child->parent = parent;
  parent->children.insert(parent->children.begin() + static_cast<ptrdiff_t>(index), moved.begin(), moved.end());
}

void RemoveChildren(Node* node) {
  std::vector<NodePtr> old = std::move(node->children);
  node->children.clear();
  for (const NodePtr& child : old) child->parent = nullptr;
}

Node* NextSibling(const Node* node) {
  if (!node->parent) return nullptr;
  size_t i = IndexInParent(node);
  return i + 1 < node->parent->children.size() ? node->parent->children[i + 1].get() : nullptr;
}

Node* PreviousSibling(const Node* node) {
  if (!node->parent) return nullptr;
  size_t i = IndexInParent(node);
  return i > 0 && i < node->parent->children.size() ? node->parent->children[i - 1].get() : nullptr;
}

const std::string* GetAttribute(const Node* node, std::string_view name) {
  for (const auto& [n, v] : node->attributes)
    if (EqualsNoCase(n, name)) return &v;
  return nullptr;
}

void SetAttribute(Node* node, std::string_view name, std::string_view value) {
  for (auto& [n, v] : node->attributes) {
    if (EqualsNoCase(n, name)) {
      v.assign(value);
      return;
    }
  }
  std::string lower(name);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  node->attributes.emplace_back(std::move(lower), std::string(value));
}

bool RemoveAttribute(Node* node, std::string_view name) {
  auto it = std::find_if(node->attributes.begin(), node->attributes.end(),
                         [&](const auto& a) { return EqualsNoCase(a.first, name); });
  if (it == node->attributes.end()) return false;
  node->attributes.erase(it);
  return true;
}

Node* FindById(Node* root, std::string_view id) { return FindByIdIn(root, id, 0); }

void FindByTag(Node* root, std::string_view tag, std::vector<Node*>* out) { FindByTagIn(root, tag, out, 0); }

Node* FindChildElement(Node* node, std::string_view tag) {
  if (!node) return nullptr;
  for (const NodePtr& child : node->children)
    if (child->type == NodeType::Element && child->tag == tag) return child.get();
  return nullptr;
}

Node* DocumentElement(Node* doc) { return FindChildElement(doc, "html"); }
Node* Body(Node* doc) { return FindChildElement(DocumentElement(doc), "body"); }
Node* Head(Node* doc) { return FindChildElement(DocumentElement(doc), "head"); }

Node* ContentDocument(Node* iframe) {
  if (iframe->type != NodeType::Element || iframe->tag != "iframe") return nullptr;
  if (!iframe->contentDocument) {
    iframe->contentDocument = NewDocument();
    ParseDocumentInto(iframe->contentDocument.get(), "");
  }
  return iframe->contentDocument.get();
}

std::string TextContent(const Node* node) {
  std::string out;
  TextInto(&out, node, 0);
  return out;
}

std::string InnerHtml(const Node* node) {
  std::string out;
  SerializeChildren(&out, node, 0);
  return out;
}

std::string OuterHtml(const Node* node) {
  std::string out;
  SerializeInto(&out, node, 0);
  return out;
}

void DocumentOpen(Node* doc) {
  RemoveChildren(doc);
  doc->writing = true;
  doc->writeBuffer.clear();
}

void DocumentWrite(Node* doc, std::string_view text) {
  if (!doc->writing) DocumentOpen(doc);
  doc->writeBuffer.append(text);
}

void DocumentClose(Node* doc) {
  if (!doc->writing) return;
  std::string html = std::move(doc->writeBuffer);
  doc->writeBuffer.clear();
  doc->writing = false;
  ParseDocumentInto(doc, html);
  NotifyInserted(doc);
}

void NotifyInserted(Node* parent) {
  std::vector<NodePtr> objects;
  if (parent->type == NodeType::Element && parent->tag == "object" && parent->controlState == ControlState::None)
    objects.push_back(parent->shared_from_this());
  CollectObjects(parent, &objects, 0);
  if (objects.empty()) return;
  Node* root = RootOf(parent);
  DocumentHooks* hooks = root->type == NodeType::Document ? root->hooks : nullptr;
  if (hooks) {
    for (const NodePtr& object : objects) object->controlState = ControlState::Pending;
    hooks->ObjectsInserted(objects);
    return;
  }
  // Only a page's own document instantiates controls; markup laid out in a
  // frame or a detached element stays inert.
  for (const NodePtr& object : objects) {
    object->controlState = ControlState::Failed;
    object->controlError = E_ACCESSDENIED;
  }
}

bool IsVoidElement(std::string_view tag) {
  static constexpr std::string_view kVoid[] = {"area", "base", "basefont", "bgsound", "br", "col", "embed",
                                               "frame", "hr", "img", "input", "keygen", "link", "meta",
                                               "param", "source", "track", "wbr"};
  return std::find(std::begin(kVoid), std::end(kVoid), tag) != std::end(kVoid);
}

}  // namespace dom
