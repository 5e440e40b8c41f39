// Prints ratios measured in one run:
//  - pages: counting the pages of 16 MiB of "/Type/Pages " against 4 MiB of
//    the same (linear work gives about 4; both larger than the caches), and against one plain pass that
//    counts the '/' bytes of the 16 MiB (the cost of looking at every byte once);
//  - export: a 1 KB table of 40 cells with rowspan=1000 colspan=1000 against a
//    table of 200 plain cells, each written to an .xlsx file, with the peak
//    memory of a child process that does only that export.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "control/formats/ExcelExport.h"
#include "control/printing/PdfPages.h"

namespace {
using Clock = std::chrono::steady_clock;

template <class F>
double BestSeconds(int runs, F&& work) {
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    work();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

std::string Repeat(const std::string& piece, size_t bytes) {
  std::string out;
  out.reserve(bytes + piece.size());
  while (out.size() < bytes) out += piece;
  return out;
}

// Seconds and peak resident KiB of one export in a child of its own.
std::pair<double, long> ExportInChild(const std::string& html, const std::string& path) {
  auto start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<std::string> notes;
    std::string error;
    _exit(ExportTablesToXlsx(html, path, &notes, &error) ? 0 : 1);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  return {std::chrono::duration<double>(Clock::now() - start).count(), usage.ru_maxrss};
}
}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  volatile int sink = 0;

  const std::string small = Repeat("/Type/Pages ", size_t(4) << 20);
  const std::string large = Repeat("/Type/Pages ", size_t(16) << 20);
  const double t1 = BestSeconds(runs, [&] { sink = sink + CountPdfPages(small); });
  const double t4 = BestSeconds(runs, [&] { sink = sink + CountPdfPages(large); });
  const double plain = BestSeconds(runs, [&] { sink = sink + static_cast<int>(std::count(large.begin(), large.end(), '/')); });
  std::printf("pages: 4 MiB %.2f ms, 16 MiB %.2f ms, one plain pass over 16 MiB %.2f ms\n", t1 * 1e3, t4 * 1e3,
              plain * 1e3);
  std::printf("pages ratio 16 MiB / 4 MiB: %.2f (linear: about 4)\n", t4 / t1);
  std::printf("pages ratio count / plain pass: %.1f\n", t4 / plain);

  std::string spans = "<table>";
  for (int i = 0; i < 40; ++i) spans += "<tr><td rowspan=1000 colspan=1000>x</td></tr>";
  spans += "</table>";
  std::string cells = "<table>";
  for (int r = 0; r < 20; ++r) {
    cells += "<tr>";
    for (int c = 0; c < 10; ++c) cells += "<td>" + std::to_string(r * 10 + c) + "</td>";
    cells += "</tr>";
  }
  cells += "</table>";
  char folder[] = "/tmp/kx-bench-XXXXXX";
  if (!mkdtemp(folder)) return 1;
  const std::string base = folder;
  auto [spanSeconds, spanKiB] = ExportInChild(spans, base + "/spans.xlsx");
  auto [cellSeconds, cellKiB] = ExportInChild(cells, base + "/cells.xlsx");
  std::printf("export: %zu bytes of huge spans %.1f ms, %ld KiB peak; 200 plain cells %.1f ms, %ld KiB peak\n",
              spans.size(), spanSeconds * 1e3, spanKiB, cellSeconds * 1e3, cellKiB);
  std::printf("export ratio spans / plain cells: time %.1f, peak memory %.1f\n", spanSeconds / cellSeconds,
              static_cast<double>(spanKiB) / static_cast<double>(cellKiB));
  unlink((base + "/spans.xlsx").c_str());
  unlink((base + "/cells.xlsx").c_str());
  rmdir(folder);
  return 0;
}
