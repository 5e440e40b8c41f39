#include "control/ExcelExport.h"

#include <gumbo.h>
#include <unistd.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <set>
#include <vector>

namespace {
struct Cell {
  std::string text;
  bool header = false;
  int rowSpan = 1;
  int colSpan = 1;
};
struct Table {
  std::string caption;
  std::vector<std::vector<Cell>> rows;
};

void AppendText(const GumboNode* node, std::string* out) {
  if (node->type == GUMBO_NODE_TEXT || node->type == GUMBO_NODE_WHITESPACE || node->type == GUMBO_NODE_CDATA) {
    *out += node->v.text.text;
    return;
  }
  if (node->type != GUMBO_NODE_ELEMENT) return;
  if (node->v.element.tag == GUMBO_TAG_BR) {
    *out += '\n';
    return;
  }
  if (node->v.element.tag == GUMBO_TAG_SCRIPT || node->v.element.tag == GUMBO_TAG_STYLE) return;
  const GumboVector& children = node->v.element.children;
  for (unsigned i = 0; i < children.length; ++i) AppendText(static_cast<GumboNode*>(children.data[i]), out);
}

// Blanks folded to one space (line breaks from <br> kept), ends trimmed.
std::string CleanText(const std::string& raw) {
  std::string out;
  bool blank = false;
  for (char c : raw) {
    if (c == '\n') {
      while (!out.empty() && out.back() == ' ') out.pop_back();
      out += '\n';
      blank = false;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f') {
      blank = true;
    } else {
      if (blank && !out.empty() && out.back() != '\n') out += ' ';
      blank = false;
      out += c;
    }
  }
  size_t start = out.find_first_not_of(" \n");
  if (start == std::string::npos) return std::string();
  size_t end = out.find_last_not_of(" \n");
  return out.substr(start, end - start + 1);
}

int SpanAttribute(const GumboNode* node, const char* name) {
  const GumboAttribute* attr = gumbo_get_attribute(&node->v.element.attributes, name);
  if (!attr) return 1;
  int v = std::atoi(attr->value);
  return std::clamp(v, 1, 1000);
}

void CollectRows(const GumboNode* node, Table* table) {
  const GumboVector& children = node->v.element.children;
  for (unsigned i = 0; i < children.length; ++i) {
    const GumboNode* child = static_cast<GumboNode*>(children.data[i]);
    if (child->type != GUMBO_NODE_ELEMENT) continue;
    GumboTag tag = child->v.element.tag;
    if (tag == GUMBO_TAG_THEAD || tag == GUMBO_TAG_TBODY || tag == GUMBO_TAG_TFOOT) {
      CollectRows(child, table);
    } else if (tag == GUMBO_TAG_CAPTION) {
      std::string text;
      AppendText(child, &text);
      table->caption = CleanText(text);
    } else if (tag == GUMBO_TAG_TR) {
      std::vector<Cell> row;
      const GumboVector& cells = child->v.element.children;
      for (unsigned k = 0; k < cells.length; ++k) {
        const GumboNode* cell = static_cast<GumboNode*>(cells.data[k]);
        if (cell->type != GUMBO_NODE_ELEMENT) continue;
        if (cell->v.element.tag != GUMBO_TAG_TD && cell->v.element.tag != GUMBO_TAG_TH) continue;
        Cell c;
        std::string text;
        AppendText(cell, &text);
        c.text = CleanText(text);
        c.header = cell->v.element.tag == GUMBO_TAG_TH;
        c.rowSpan = SpanAttribute(cell, "rowspan");
        c.colSpan = SpanAttribute(cell, "colspan");
        row.push_back(std::move(c));
      }
      table->rows.push_back(std::move(row));
    }
  }
}

void FindTables(const GumboNode* node, std::vector<Table>* tables) {
  if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_DOCUMENT) return;
  const GumboVector& children =
      node->type == GUMBO_NODE_DOCUMENT ? node->v.document.children : node->v.element.children;
  if (node->type == GUMBO_NODE_ELEMENT && node->v.element.tag == GUMBO_TAG_TABLE) {
    Table table;
    CollectRows(node, &table);
    tables->push_back(std::move(table));
  }
  // Tables inside cells are exported as tables of their own.
  for (unsigned i = 0; i < children.length; ++i) FindTables(static_cast<GumboNode*>(children.data[i]), tables);
}

bool AsNumber(const std::string& text, double* value) {
  if (text.empty() || text.size() > 40) return false;
  size_t digits = text[0] == '-' ? 1 : 0;
  // "007" and "0123" are codes, not numbers.
  if (text.size() > digits + 1 && text[digits] == '0' && text[digits + 1] != '.') return false;
  auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

std::string SheetName(const Table& table, size_t index, std::set<std::string>* used) {
  std::string name;
  for (char c : table.caption)
    if (std::string("[]:*?/\\").find(c) == std::string::npos) name += c;
  if (name.size() > 31) name.resize(31);
  // Do not cut a UTF-8 character in two.
  while (!name.empty() && (static_cast<unsigned char>(name.back()) & 0xC0) == 0x80) name.pop_back();
  if (!name.empty() && (static_cast<unsigned char>(name.back()) & 0xC0) == 0xC0) name.pop_back();
  if (name.empty() || used->count(name)) name = "Table " + std::to_string(index + 1);
  used->insert(name);
  return name;
}
}  // namespace

bool ExportTablesToXlsx(const std::string& html, const std::string& path, std::string* error) {
  GumboOutput* parsed = gumbo_parse_with_options(&kGumboDefaultOptions, html.data(), html.size());
  std::vector<Table> tables;
  FindTables(parsed->document, &tables);
  gumbo_destroy_output(&kGumboDefaultOptions, parsed);
  tables.erase(std::remove_if(tables.begin(), tables.end(), [](const Table& t) { return t.rows.empty(); }), tables.end());
  if (tables.empty()) {
    if (error) *error = "the element holds no table to export";
    return false;
  }
  size_t slash = path.rfind('/');
  std::string temp = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "." +
                     (slash == std::string::npos ? path : path.substr(slash + 1)) + ".part";
  lxw_workbook* book = workbook_new(temp.c_str());
  if (!book) {
    if (error) *error = "cannot create " + path;
    return false;
  }
  lxw_format* bold = workbook_add_format(book);
  format_set_bold(bold);
  lxw_format* wrapped = workbook_add_format(book);
  format_set_text_wrap(wrapped);
  std::set<std::string> used;
  for (size_t t = 0; t < tables.size(); ++t) {
    lxw_worksheet* sheet = workbook_add_worksheet(book, SheetName(tables[t], t, &used).c_str());
    if (!sheet) continue;
    // Places taken by cells spanning down from earlier rows.
    std::set<std::pair<int, int>> taken;
    int r = 0;
    for (const auto& row : tables[t].rows) {
      if (r >= 1048575) break;
      int c = 0;
      for (const auto& cell : row) {
        while (taken.count({r, c})) ++c;
        if (c >= 16383) break;
        int lastRow = std::min(r + cell.rowSpan - 1, 1048575);
        int lastCol = std::min(c + cell.colSpan - 1, 16383);
        for (int rr = r; rr <= lastRow; ++rr)
          for (int cc = c; cc <= lastCol; ++cc) taken.insert({rr, cc});
        lxw_format* format = cell.header ? bold : cell.text.find('\n') != std::string::npos ? wrapped : nullptr;
        double number = 0;
        if (lastRow > r || lastCol > c) {
          worksheet_merge_range(sheet, r, static_cast<lxw_col_t>(c), lastRow, static_cast<lxw_col_t>(lastCol),
                                cell.text.c_str(), format);
          if (AsNumber(cell.text, &number))
            worksheet_write_number(sheet, r, static_cast<lxw_col_t>(c), number, format);
        } else if (AsNumber(cell.text, &number)) {
          worksheet_write_number(sheet, r, static_cast<lxw_col_t>(c), number, format);
        } else if (!cell.text.empty()) {
          worksheet_write_string(sheet, r, static_cast<lxw_col_t>(c), cell.text.c_str(), format);
        }
        c = lastCol + 1;
      }
      ++r;
    }
  }
  lxw_error result = workbook_close(book);
  if (result != LXW_NO_ERROR) {
    unlink(temp.c_str());
    if (error) *error = "cannot write " + path + ": " + lxw_strerror(result);
    return false;
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    if (error) *error = "cannot write " + path;
    return false;
  }
  return true;
}
