// A minimal DOM: what the bootstrap page and the HTML-loading commands use.
//
// The tree is our own (gumbo's output cannot change): elements, text,
// comments and documents, parent links, attributes, the iframe's content
// document and the control an OBJECT element hosts. Text is UTF-8. Nothing
// here runs script: HTML parsed into a tree is data.
//
// Depth is bounded everywhere (kMaxDepth): parsing drops what would nest
// deeper, so recursion over a tree is bounded too.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ComPtr.h"

namespace dom {

// Deepest nesting below a document that parsing produces.
constexpr int kMaxDepth = 512;

enum class NodeType { Element = 1, Text = 3, Comment = 8, Document = 9 };

struct Node;
using NodePtr = std::shared_ptr<Node>;

// Told when OBJECT elements join a document that may instantiate controls.
class DocumentHooks {
 public:
  virtual void ObjectsInserted(const std::vector<NodePtr>& objects) = 0;

 protected:
  ~DocumentHooks() = default;
};

// The state of an OBJECT element's control.
enum class ControlState { None, Pending, Created, Failed };

struct Node : std::enable_shared_from_this<Node> {
  explicit Node(NodeType t) : type(t) {}
  ~Node();
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  NodeType type;
  std::string tag;  // elements: lower-case tag name
  std::vector<std::pair<std::string, std::string>> attributes;  // names lower-case
  std::string text;  // text and comment data
  std::vector<NodePtr> children;
  Node* parent = nullptr;  // not owning; cleared when the parent lets go

  // Documents
  DocumentHooks* hooks = nullptr;  // set on a page's document only
  bool writing = false;            // between open() and close()
  std::string writeBuffer;

  // IFRAME elements: the content document, made empty on first use
  // (ContentDocument), so markup full of frames costs nothing extra.
  NodePtr contentDocument;

  // OBJECT elements
  ControlState controlState = ControlState::None;
  HRESULT controlError = S_OK;  // why it failed, when it failed
  ComPtr<IUnknown> control;
  long long controlFirstTry = 0;  // steady-clock ms of the first attempt
};

// ---- building ---------------------------------------------------------------
NodePtr NewDocument();  // empty, with no children
NodePtr NewElement(std::string tag);
NodePtr NewText(std::string text);

// Parses a whole document into doc's children (replacing them).
void ParseDocumentInto(Node* doc, std::string_view html);
// Parses html as a fragment in a body context and makes the result parent's
// children (replacing them). Nesting is cut so that nothing lies deeper than
// kMaxDepth below the document.
void SetInnerHtml(Node* parent, std::string_view html);
// Rewrites html so that no element opens deeper than maxDepth: start tags
// beyond it are dropped (their content stays). An estimate made before
// parsing, which keeps the parser's own cost bounded.
std::string LimitNesting(std::string_view html, int maxDepth);

// ---- structure --------------------------------------------------------------
int DepthOf(const Node* node);          // 0 for a root
Node* RootOf(Node* node);               // the top of node's tree
bool IsConnectedTo(const Node* node, const Node* doc);
// Removes node from its parent; with deep false its children take its place.
void RemoveNode(Node* node, bool deep);
// Drops every child (their parent links are cleared).
void RemoveChildren(Node* node);
Node* NextSibling(const Node* node);
Node* PreviousSibling(const Node* node);

// ---- queries ----------------------------------------------------------------
const std::string* GetAttribute(const Node* node, std::string_view name);  // name case-insensitive
void SetAttribute(Node* node, std::string_view name, std::string_view value);
bool RemoveAttribute(Node* node, std::string_view name);
// First element below root (root excluded) with that id, in document order.
Node* FindById(Node* root, std::string_view id);
// Elements below root (root excluded) with that tag ("*" for all), in order.
void FindByTag(Node* root, std::string_view tag, std::vector<Node*>* out);
Node* DocumentElement(Node* doc);
Node* FindChildElement(Node* node, std::string_view tag);
Node* Body(Node* doc);
// An IFRAME's document (about:blank until written; its src is never
// fetched); null for other nodes.
Node* ContentDocument(Node* iframe);
Node* Head(Node* doc);
std::string TextContent(const Node* node);

// ---- serialisation ------------------------------------------------------------
std::string InnerHtml(const Node* node);
std::string OuterHtml(const Node* node);

// ---- documents written by script ---------------------------------------------
void DocumentOpen(Node* doc);
void DocumentWrite(Node* doc, std::string_view text);
void DocumentClose(Node* doc);

// After nodes joined a tree: reports their OBJECT elements to the hooks of
// the document they joined; elsewhere they are refused (never instantiated).
void NotifyInserted(Node* parent);

bool IsVoidElement(std::string_view tag);

}  // namespace dom
