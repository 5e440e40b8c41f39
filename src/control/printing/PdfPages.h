// The number of pages of a PDF, for a job's "totalPages".
#pragma once

#include <string_view>

// The pages as the page tree counts them: the largest /Count of a /Type
// /Pages dictionary (the root's), else the number of /Type /Page
// dictionaries; 0 when neither can be found (for example when the tree lies
// in compressed object streams). One pass over the bytes, whatever they hold:
// the PDF may come from the page, so the work is linear in its size, the
// memory small and fixed.
int CountPdfPages(std::string_view pdf);
