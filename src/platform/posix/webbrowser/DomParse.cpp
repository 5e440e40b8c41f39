// Parsing HTML into the DOM with gumbo, behind a nesting limit.
//
// gumbo's memory grows with the square of the nesting depth (20000 nested
// elements take gigabytes), so hostile markup is first cut by LimitNesting,
// an estimate of the tree builder's open-element stack made on the raw text.
// The conversion into our tree then drops anything still deeper than allowed.
#include <gumbo.h>

#include <algorithm>
#include <cctype>
#include <map>

#include "platform/webbrowser/Dom.h"

namespace dom {

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool In(std::string_view tag, std::initializer_list<std::string_view> set) {
  return std::find(set.begin(), set.end(), tag) != set.end();
}

// ---- the nesting estimate ------------------------------------------------------

bool StartsWithNoCase(std::string_view text, size_t at, std::string_view prefix) {
  if (text.size() - at < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[at + i])) != prefix[i]) return false;
  return true;
}

// Position after the end tag "</name" (followed by a blank, '/' or '>') that
// closes raw text begun at from; text.size() when there is none.
size_t FindRawTextEnd(std::string_view text, size_t from, std::string_view name) {
  for (size_t i = from; i + 2 + name.size() <= text.size(); ++i) {
    if (text[i] != '<' || text[i + 1] != '/') continue;
    if (!StartsWithNoCase(text, i + 2, name)) continue;
    size_t after = i + 2 + name.size();
    if (after == text.size() || std::isspace(static_cast<unsigned char>(text[after])) || text[after] == '/' ||
        text[after] == '>')
      return i;
  }
  return text.size();
}

// Scans a tag from the character after its name to just past its '>', the
// way the tokenizer reads attributes (quotes count only after '=').
size_t SkipTagBody(std::string_view text, size_t i) {
  size_t n = text.size();
  while (i < n) {
    char c = text[i];
    if (c == '>') return i + 1;
    if (c == '=') {
      ++i;
      while (i < n && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
      if (i < n && (text[i] == '"' || text[i] == '\'')) {
        size_t close = text.find(text[i], i + 1);
        if (close == std::string_view::npos) return n;
        i = close + 1;
      } else {
        while (i < n && !std::isspace(static_cast<unsigned char>(text[i])) && text[i] != '>') ++i;
      }
      continue;
    }
    ++i;
  }
  return n;
}

struct NestingEstimate {
  std::vector<std::string> open;                // estimated open elements
  std::map<std::string, int> formatting;        // formatting elements closed implicitly, by tag + attributes
  std::vector<std::string> openKeys;            // tag + attributes of each open element
  std::map<std::string, int> openCount;         // open elements by tag, to skip hopeless searches
  int formattingTotal = 0;
  int limit = 0;

  int Depth() const { return static_cast<int>(open.size()) + formattingTotal; }

  static bool IsFormatting(std::string_view tag) {
    return In(tag, {"a", "b", "big", "code", "em", "font", "i", "nobr", "s", "small", "strike", "strong", "tt", "u"});
  }
  static bool IsScopeBoundary(std::string_view tag) {
    return In(tag, {"applet", "caption", "html", "table", "td", "th", "marquee", "object", "template", "svg", "math"});
  }
  bool InForeignContent() const { return AnyOpen({"svg", "math"}); }

  void PopTo(size_t index) {  // pops open[index] and everything above it
    while (open.size() > index) {
      bool implicit = open.size() - 1 > index;
      if (implicit && IsFormatting(open.back()) && formattingTotal < limit) {
        // The tree builder reopens such elements later (up to three alike).
        // Past the limit everything is cut anyway, so the map stays small.
        int& count = formatting[openKeys.back()];
        if (count < 3) {
          ++count;
          ++formattingTotal;
        }
      }
      --openCount[open.back()];
      open.pop_back();
      openKeys.pop_back();
    }
  }
  void Push(const std::string& tag, std::string key) {
    open.push_back(tag);
    openKeys.push_back(std::move(key));
    ++openCount[tag];
  }
  bool AnyOpen(std::initializer_list<std::string_view> tags) const {
    for (std::string_view t : tags) {
      auto it = openCount.find(std::string(t));
      if (it != openCount.end() && it->second > 0) return true;
    }
    return false;
  }
  // The nearest open element named in targets, searching down from the top
  // and stopping at any named in stoppers; -1 when none.
  long Find(std::initializer_list<std::string_view> targets, std::initializer_list<std::string_view> stoppers) const {
    if (!AnyOpen(targets)) return -1;
    for (size_t i = open.size(); i-- > 0;) {
      if (In(open[i], targets)) return static_cast<long>(i);
      if (In(open[i], stoppers)) return -1;
    }
    return -1;
  }

  void StartTag(const std::string& tag) {
    // Start tags that end an open element of their kind first.
    long at = -1;
    if (tag == "li") at = Find({"li"}, {"ul", "ol", "table", "td", "th", "html"});
    else if (tag == "dt" || tag == "dd") at = Find({"dt", "dd"}, {"dl", "table", "td", "th", "html"});
    else if (tag == "td" || tag == "th") at = Find({"td", "th"}, {"tr", "table", "html"});
    else if (tag == "tr") at = Find({"tr"}, {"table", "html"});
    else if (tag == "tbody" || tag == "thead" || tag == "tfoot") at = Find({"tbody", "thead", "tfoot"}, {"table", "html"});
    else if (tag == "option" || tag == "optgroup") at = Find({"option"}, {"select", "html"});
    else if (tag == "table") at = Find({"table"}, {"td", "th", "caption", "html"});
    if (at >= 0) PopTo(static_cast<size_t>(at));
    if (In(tag, {"address", "article", "aside", "blockquote", "center", "details", "dialog", "dir", "div", "dl",
                 "fieldset", "figcaption", "figure", "footer", "form", "h1", "h2", "h3", "h4", "h5", "h6", "header",
                 "hgroup", "main", "menu", "nav", "ol", "p", "section", "summary", "ul", "pre", "listing", "hr",
                 "table"})) {
      long p = Find({"p"}, {"applet", "caption", "html", "table", "td", "th", "marquee", "object", "template",
                            "button"});
      if (p >= 0) PopTo(static_cast<size_t>(p));
    }
  }

  void EndTag(const std::string& tag) {
    for (size_t i = AnyOpen({tag}) ? open.size() : 0; i-- > 0;) {
      if (open[i] == tag) {
        PopTo(i);
        return;
      }
      if (IsScopeBoundary(open[i])) break;
    }
    if (IsFormatting(tag)) {
      // Closes one that was reopened implicitly, if any.
      for (auto& [key, count] : formatting) {
        if (count > 0 && key.compare(0, tag.size() + 1, tag + " ") == 0) {
          --count;
          --formattingTotal;
          return;
        }
      }
    }
  }
};

}  // namespace

std::string LimitNesting(std::string_view html, int maxDepth) {
  std::string out;
  out.reserve(html.size());
  NestingEstimate est;
  est.limit = maxDepth;
  size_t i = 0, n = html.size();
  while (i < n) {
    size_t lt = html.find('<', i);
    if (lt == std::string_view::npos) {
      out.append(html.substr(i));
      break;
    }
    out.append(html.substr(i, lt - i));
    i = lt;
    auto isAlpha = [&](size_t k) { return k < n && std::isalpha(static_cast<unsigned char>(html[k])); };
    if (html.compare(i, 4, "<!--") == 0) {
      size_t end;
      if (html.compare(i + 4, 1, ">") == 0) end = i + 5;
      else if (html.compare(i + 4, 2, "->") == 0) end = i + 6;
      else {
        size_t a = html.find("-->", i + 4), b = html.find("--!>", i + 4);
        end = std::min(a == std::string_view::npos ? n : a + 3, b == std::string_view::npos ? n : b + 4);
      }
      out.append(html.substr(i, end - i));
      i = end;
      continue;
    }
    if (html.compare(i, 2, "<!") == 0 || html.compare(i, 2, "<?") == 0 ||
        (html.compare(i, 2, "</") == 0 && !isAlpha(i + 2))) {
      // Declarations and bogus comments run to the next '>'.
      size_t gt = html.find('>', i + 2);
      size_t end = gt == std::string_view::npos ? n : gt + 1;
      out.append(html.substr(i, end - i));
      i = end;
      continue;
    }
    bool endTag = html.compare(i, 2, "</") == 0;
    size_t nameStart = i + (endTag ? 2 : 1);
    if (!isAlpha(nameStart)) {
      out.push_back('<');
      ++i;
      continue;
    }
    size_t nameEnd = nameStart;
    while (nameEnd < n && !std::isspace(static_cast<unsigned char>(html[nameEnd])) && html[nameEnd] != '/' &&
           html[nameEnd] != '>')
      ++nameEnd;
    std::string tag = Lower(html.substr(nameStart, nameEnd - nameStart));
    size_t tagEnd = SkipTagBody(html, nameEnd);
    std::string_view tagText = html.substr(i, tagEnd - i);
    if (endTag) {
      est.EndTag(tag);
      out.append(tagText);
      i = tagEnd;
      continue;
    }
    est.StartTag(tag);
    bool foreign = est.InForeignContent();
    if (!foreign && tag == "plaintext") {
      out.append(html.substr(i));
      break;
    }
    if (!foreign && In(tag, {"script", "style", "xmp", "iframe", "noembed", "noframes", "textarea", "title"})) {
      // Raw text: nothing inside is a tag.
      size_t end = FindRawTextEnd(html, tagEnd, tag);
      if (est.Depth() < maxDepth) out.append(html.substr(i, end - i));
      i = end;
      continue;
    }
    if (IsVoidElement(tag)) {
      out.append(tagText);
      i = tagEnd;
      continue;
    }
    if (est.Depth() >= maxDepth) {
      i = tagEnd;  // dropped: its content joins the enclosing element
      continue;
    }
    est.Push(tag, tag + " " + std::string(html.substr(nameEnd, tagEnd - nameEnd)));
    out.append(tagText);
    i = tagEnd;
  }
  return out;
}

// ---- conversion from gumbo -----------------------------------------------------

namespace {

std::string TagName(const GumboNode* g) {
  const GumboElement& e = g->v.element;
  if (e.tag != GUMBO_TAG_UNKNOWN) return gumbo_normalized_tagname(e.tag);
  GumboStringPiece piece = e.original_tag;
  gumbo_tag_from_original_text(&piece);
  return Lower(std::string_view(piece.data, piece.length));
}

void ConvertChildren(const GumboVector& children, Node* parent, int depth, int maxDepth);

NodePtr Convert(const GumboNode* g, int depth, int maxDepth) {
  switch (g->type) {
    case GUMBO_NODE_TEXT:
    case GUMBO_NODE_WHITESPACE:
    case GUMBO_NODE_CDATA: return NewText(g->v.text.text);
    case GUMBO_NODE_COMMENT: {
      auto c = std::make_shared<Node>(NodeType::Comment);
      c->text = g->v.text.text;
      return c;
    }
    case GUMBO_NODE_ELEMENT:
    case GUMBO_NODE_TEMPLATE: {
      if (depth > maxDepth) return nullptr;
      NodePtr e = NewElement(TagName(g));
      const GumboVector& attrs = g->v.element.attributes;
      for (unsigned i = 0; i < attrs.length; ++i) {
        auto* a = static_cast<const GumboAttribute*>(attrs.data[i]);
        e->attributes.emplace_back(a->name, a->value);
      }
      ConvertChildren(g->v.element.children, e.get(), depth, maxDepth);
      return e;
    }
    default: return nullptr;
  }
}

void ConvertChildren(const GumboVector& children, Node* parent, int depth, int maxDepth) {
  for (unsigned i = 0; i < children.length; ++i) {
    NodePtr child = Convert(static_cast<const GumboNode*>(children.data[i]), depth + 1, maxDepth);
    if (!child) continue;
    child->parent = parent;
    parent->children.push_back(std::move(child));
  }
}

// Runs gumbo on html; root receives the converted children of what is parsed.
void Parse(std::string_view html, bool fragment, Node* into, int maxDepth) {
  if (maxDepth < 1) return;
  std::string limited = LimitNesting(html, maxDepth);
  GumboOptions options = kGumboDefaultOptions;
  if (fragment) {
    options.fragment_context = GUMBO_TAG_BODY;
    options.fragment_namespace = GUMBO_NAMESPACE_HTML;
  }
  GumboOutput* output = gumbo_parse_with_options(&options, limited.data(), limited.size());
  if (!output) return;
  // A fragment's nodes are the children of an implied <html> root.
  const GumboNode* top = fragment ? output->root : output->document;
  const GumboVector& children = top->type == GUMBO_NODE_DOCUMENT ? top->v.document.children : top->v.element.children;
  ConvertChildren(children, into, DepthOf(into), DepthOf(into) + maxDepth);
  gumbo_destroy_output(&options, output);
}

}  // namespace

void ParseDocumentInto(Node* doc, std::string_view html) {
  RemoveChildren(doc);
  Parse(html, false, doc, kMaxDepth);
}

void SetInnerHtml(Node* parent, std::string_view html) {
  RemoveChildren(parent);
  int room = kMaxDepth - DepthOf(parent);
  Parse(html, true, parent, room);
  NotifyInserted(parent);
}

}  // namespace dom
