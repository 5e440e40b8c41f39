#include "control/printing/PdfPages.h"

#include <algorithm>
#include <cstdint>

// Written by hand rather than with a PDF library: qpdf 11.3 (Debian 12) walks
// the page tree recursively and overflows its stack on a tree 200,000 levels
// deep, and repairs one page listed 100,000 times into 100,000 pages. Here
// the file is read as tokens, once: comments, strings and stream contents
// are skipped, and dictionaries are tracked on a stack of bounded depth.
namespace {
bool IsBlank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\0'; }
bool IsDelimiter(char c) {
  return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' || c == '}' || c == '/' ||
         c == '%';
}
bool IsRegular(char c) { return !IsBlank(c) && !IsDelimiter(c); }

struct Dictionary {
  bool pages = false;  // /Type /Pages
  bool page = false;   // /Type /Page
  int64_t count = -1;  // /Count
};
}  // namespace

int CountPdfPages(std::string_view pdf) {
  // Dictionaries nested deeper than this are still matched, but not looked into.
  constexpr size_t kMaxDepth = 64;
  Dictionary stack[kMaxDepth];
  size_t depth = 0;
  enum class Expect { Nothing, Type, Count } expect = Expect::Nothing;
  int64_t largest = 0;
  int64_t pages = 0;
  const size_t n = pdf.size();
  size_t i = 0;
  auto top = [&]() -> Dictionary* { return depth > 0 && depth <= kMaxDepth ? &stack[depth - 1] : nullptr; };

  while (i < n) {
    const char c = pdf[i];
    if (IsBlank(c)) {
      ++i;
      continue;
    }
    if (c == '%') {  // a comment, to the end of the line
      while (i < n && pdf[i] != '\n' && pdf[i] != '\r') ++i;
      continue;
    }
    if (c == '(') {  // a literal string: balanced parentheses, backslash escapes
      int open = 0;
      for (; i < n; ++i) {
        if (pdf[i] == '\\') ++i;
        else if (pdf[i] == '(') ++open;
        else if (pdf[i] == ')' && --open == 0) break;
      }
      ++i;
      expect = Expect::Nothing;
      continue;
    }
    if (c == '<' && i + 1 < n && pdf[i + 1] == '<') {
      if (depth < kMaxDepth) stack[depth] = Dictionary{};
      ++depth;
      i += 2;
      expect = Expect::Nothing;
      continue;
    }
    if (c == '>' && i + 1 < n && pdf[i + 1] == '>') {
      if (Dictionary* d = top()) {
        if (d->pages) largest = std::max(largest, d->count);
        else if (d->page) ++pages;
      }
      if (depth > 0) --depth;
      i += 2;
      expect = Expect::Nothing;
      continue;
    }
    if (c == '<') {  // a hex string
      while (i < n && pdf[i] != '>') ++i;
      ++i;
      expect = Expect::Nothing;
      continue;
    }
    if (c == '/') {
      size_t start = ++i;
      while (i < n && IsRegular(pdf[i])) ++i;
      std::string_view name = pdf.substr(start, i - start);
      Dictionary* d = top();
      if (expect == Expect::Type && d) {
        d->pages = name == "Pages";
        d->page = name == "Page";
        expect = Expect::Nothing;
      } else if (d && name == "Type") {
        expect = Expect::Type;
      } else if (d && name == "Count") {
        expect = Expect::Count;
      } else {
        expect = Expect::Nothing;
      }
      continue;
    }
    if (c >= '0' && c <= '9') {
      int64_t value = 0;
      while (i < n && pdf[i] >= '0' && pdf[i] <= '9') {
        if (value < 100000000) value = value * 10 + (pdf[i] - '0');
        ++i;
      }
      if (expect == Expect::Count)
        if (Dictionary* d = top()) d->count = value;
      expect = Expect::Nothing;
      continue;
    }
    if (IsRegular(c)) {
      size_t start = i;
      while (i < n && IsRegular(pdf[i])) ++i;
      // A stream's bytes are data, not objects: skip to its end.
      if (pdf.substr(start, i - start) == "stream") {
        size_t end = pdf.find("endstream", i);
        i = end == std::string_view::npos ? n : end + 9;
      }
      expect = Expect::Nothing;
      continue;
    }
    ++i;  // ) ] [ { } and a lone >
    expect = Expect::Nothing;
  }
  const int64_t result = largest > 0 ? largest : pages;
  return static_cast<int>(std::min<int64_t>(result, 10000000));
}
