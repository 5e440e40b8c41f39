// "exportAsExcel": the tables of an HTML fragment written to an .xlsx file
// with libxlsxwriter, one worksheet per table (named by its caption, else
// "Table N"). Header cells are bold, spanned cells are merged, cells that are
// plain numbers are written as numbers (except ones with leading zeros, which
// stay text).
#pragma once

#include <string>

// Writes path (through a temporary file beside it and a rename). False with a
// message when the HTML has no table or the file cannot be written.
bool ExportTablesToXlsx(const std::string& html, const std::string& path, std::string* error);
