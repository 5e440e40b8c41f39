#include "control/formats/ExcelExport.h"

#include <gumbo.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <set>
#include <thread>
#include <vector>

#include "control/base/DesktopOpen.h"
#include "control/base/FileSystem.h"
#include "control/base/JobLine.h"

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

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The caption as a sheet name when Excel takes it (unique whatever the case),
// else "Table N" with a note.
std::string SheetName(lxw_workbook* book, const Table& table, size_t index, std::set<std::string>* used,
                      bool* renamed) {
  std::string name;
  for (char c : table.caption)
    if (std::string("[]:*?/\\").find(c) == std::string::npos) name += c;
  // At most 31 characters, not cut inside a UTF-8 character.
  size_t characters = 0, at = 0;
  for (; at < name.size() && characters < 31; ++at)
    if ((static_cast<unsigned char>(name[at]) & 0xC0) != 0x80) ++characters;
  while (at < name.size() && (static_cast<unsigned char>(name[at]) & 0xC0) == 0x80) ++at;
  if (characters == 31 && at < name.size()) name.resize(at);
  *renamed = false;
  if (!name.empty() && (used->count(Lower(name)) || workbook_validate_sheet_name(book, name.c_str()) != LXW_NO_ERROR)) {
    *renamed = true;
    name.clear();
  }
  for (size_t n = index + 1; name.empty() || used->count(Lower(name)); ++n) name = "Table " + std::to_string(n);
  used->insert(Lower(name));
  return name;
}

// At most Excel's 32,767 characters, not cut inside a UTF-8 character.
bool CutToExcelLength(std::string* text) {
  constexpr size_t kMax = 32767;
  if (text->size() <= kMax) return false;
  size_t characters = 0, at = 0;
  for (; at < text->size(); ++at) {
    if ((static_cast<unsigned char>((*text)[at]) & 0xC0) != 0x80 && ++characters > kMax) break;
  }
  if (at >= text->size()) return false;
  text->resize(at);
  return true;
}
}  // namespace

bool ExportTablesToXlsx(const std::string& html, const std::string& path, std::vector<std::string>* notes,
                        std::string* error, const ExcelLimits& limits, const FileStore* room) {
  if (html.size() > limits.maxHtmlBytes) {
    if (error) *error = "the element's HTML is larger than " + std::to_string(limits.maxHtmlBytes >> 20) + " MiB";
    return false;
  }
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

  constexpr int kLastRow = 1048575, kLastCol = 16383;  // Excel's grid
  long cellsLeft = limits.maxCells;
  long cutTexts = 0, shrunkSpans = 0, droppedCells = 0, outsideGrid = 0, failedWrites = 0;
  std::vector<std::string> renamed;
  std::set<std::string> used;
  if (tables.size() > static_cast<size_t>(limits.maxSheets)) {
    notes->push_back(std::to_string(tables.size() - static_cast<size_t>(limits.maxSheets)) + " of " +
                     std::to_string(tables.size()) + " tables left out (at most " + std::to_string(limits.maxSheets) +
                     " sheets)");
    tables.resize(static_cast<size_t>(limits.maxSheets));
  }
  for (size_t t = 0; t < tables.size(); ++t) {
    bool wasRenamed = false;
    const std::string name = SheetName(book, tables[t], t, &used, &wasRenamed);
    if (wasRenamed) renamed.push_back("'" + tables[t].caption.substr(0, 40) + "' became '" + name + "'");
    lxw_worksheet* sheet = workbook_add_worksheet(book, name.c_str());
    if (!sheet) {
      notes->push_back("table " + std::to_string(t + 1) + " left out: no sheet could be made for it");
      continue;
    }
    // The first row each column is free again (after cells spanning down):
    // one entry per column, so a span costs its width, never its area.
    std::vector<int> freeFrom(kLastCol + 1, 0);
    int r = 0;
    for (const auto& row : tables[t].rows) {
      if (r > kLastRow) {
        outsideGrid += static_cast<long>(row.size());
        continue;
      }
      int c = 0;
      for (const auto& cell : row) {
        while (c <= kLastCol && freeFrom[static_cast<size_t>(c)] > r) ++c;
        if (c > kLastCol) {
          ++outsideGrid;
          continue;
        }
        long rowSpan = std::min<long>(cell.rowSpan, kLastRow - r + 1);
        long colSpan = std::min<long>(cell.colSpan, kLastCol - c + 1);
        if (rowSpan * colSpan > limits.maxMergedPlaces) {
          colSpan = std::min(colSpan, limits.maxMergedPlaces);
          rowSpan = std::max<long>(1, limits.maxMergedPlaces / colSpan);
          ++shrunkSpans;
        }
        if (rowSpan * colSpan > cellsLeft) {
          ++droppedCells;
          continue;
        }
        cellsLeft -= rowSpan * colSpan;
        const int lastRow = r + static_cast<int>(rowSpan) - 1;
        const int lastCol = c + static_cast<int>(colSpan) - 1;
        for (int cc = c; cc <= lastCol; ++cc) freeFrom[static_cast<size_t>(cc)] = lastRow + 1;
        std::string text = cell.text;
        if (CutToExcelLength(&text)) ++cutTexts;
        lxw_format* format = cell.header ? bold : text.find('\n') != std::string::npos ? wrapped : nullptr;
        double number = 0;
        lxw_error written = LXW_NO_ERROR;
        if (lastRow > r || lastCol > c) {
          written = worksheet_merge_range(sheet, r, static_cast<lxw_col_t>(c), lastRow,
                                          static_cast<lxw_col_t>(lastCol), text.c_str(), format);
          if (written == LXW_NO_ERROR && AsNumber(text, &number))
            written = worksheet_write_number(sheet, r, static_cast<lxw_col_t>(c), number, format);
        } else if (AsNumber(text, &number)) {
          written = worksheet_write_number(sheet, r, static_cast<lxw_col_t>(c), number, format);
        } else if (!text.empty()) {
          written = worksheet_write_string(sheet, r, static_cast<lxw_col_t>(c), text.c_str(), format);
        }
        if (written != LXW_NO_ERROR) ++failedWrites;
        c = lastCol + 1;
      }
      ++r;
    }
  }
  auto note = [&](long count, const std::string& what) {
    if (count > 0) notes->push_back(std::to_string(count) + " " + what);
  };
  note(cutTexts, "cell texts cut to Excel's 32,767 characters");
  note(shrunkSpans, "spanned cells shrunk to " + std::to_string(limits.maxMergedPlaces) + " places");
  note(droppedCells, "cells left out beyond " + std::to_string(limits.maxCells) + " places in all");
  note(outsideGrid, "cells left out beyond Excel's 1,048,576 rows or 16,384 columns");
  note(failedWrites, "cells Excel could not take left out");
  if (!renamed.empty()) {
    std::string joined;
    for (const auto& r : renamed) joined += (joined.empty() ? "" : ", ") + r;
    notes->push_back("captions Excel does not take as sheet names: " + joined);
  }

  lxw_error result = workbook_close(book);
  if (result != LXW_NO_ERROR) {
    RemoveFile(temp);
    if (error) *error = "cannot write " + path + ": " + lxw_strerror(result);
    return false;
  }
  if (room) return room->Commit(temp, path, error);
  if (!MoveOver(temp, path)) {
    RemoveFile(temp);
    if (error) *error = "cannot write " + path;
    return false;
  }
  return true;
}

namespace {
std::atomic<int> g_runningExports{0};

void RunExport(const std::string& html, const std::string& path, const std::string& id, bool open,
               const FileStore& files, JobEventQueue& queue) {
  std::vector<std::string> notes;
  std::string error;
  bool ok = false;
  try {
    ok = ExportTablesToXlsx(html, path, &notes, &error, ExcelLimits(), &files);
  } catch (const std::exception& e) {
    error = std::string("the export failed: ") + e.what();  // memory, most likely
  }
  auto message = [&](const char* type, const std::string& code, const std::string& text) {
    queue.Push(JobLine::Message(type, code, text, id));
  };
  std::string cut;
  for (const auto& n : notes) cut += (cut.empty() ? "" : "; ") + n;
  if (!ok) message("error", error.rfind("no room", 0) == 0 ? "noRoom" : "exportFailed", error);
  else if (!cut.empty()) message("warning", "exportTruncated", "the export of " + path + " is incomplete: " + cut);
  if (ok && open) {
    std::string code, text;
    if (!OpenDocument(path, &code, &text)) message("error", code, text);
  }
  Json::Value result(Json::objectValue);
  result["type"] = "exportAsExcel";
  result["id"] = id;
  result["jobId"] = 0;
  result["file"] = path;
  result["truncated"] = ok && !notes.empty();
  result["message"] = !ok ? error : cut.empty() ? "written to " + path : "written to " + path + " with cuts: " + cut;
  queue.Push(JobLine::Done(ok, std::move(result)));
}
}  // namespace

bool StartExcelExport(std::string html, std::string path, std::string id, bool open, FileStore files,
                      std::shared_ptr<JobEventQueue> queue, std::string* error) {
  if (++g_runningExports > kMaxRunningExports) {
    --g_runningExports;
    if (error) *error = std::to_string(kMaxRunningExports) + " exports are already running; try again when one has ended";
    return false;
  }
  try {
    std::thread([html = std::move(html), path = std::move(path), id = std::move(id), open,
                 files = std::move(files), queue] {
      try {
        RunExport(html, path, id, open, files, *queue);
      } catch (...) {
        // Out of memory while reporting: nothing more can be said.
      }
      --g_runningExports;
    }).detach();
  } catch (const std::exception& e) {
    --g_runningExports;
    if (error) *error = std::string("cannot start the export: ") + e.what();
    return false;
  }
  return true;
}
