#include "common/Stats.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace bench {

double Percentile(std::vector<double>& values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * double(values.size())));
  if (rank == 0) rank = 1;
  return values[std::min(rank, values.size()) - 1];
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string Option(int argc, char** argv, const std::string& name, const std::string& fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (name == argv[i]) return argv[i + 1];
  return fallback;
}

long long OptionNumber(int argc, char** argv, const std::string& name, long long fallback) {
  std::string v = Option(argc, argv, name, "");
  if (v.empty()) return fallback;
  char* end = nullptr;
  long long n = std::strtoll(v.c_str(), &end, 10);
  return (end && *end == '\0' && n > 0) ? n : fallback;
}

std::string HostPath(int argc, char** argv) { return Option(argc, argv, "--host", KX_BENCH_HOST_PATH); }
std::string EchoPath(int argc, char** argv) { return Option(argc, argv, "--echo", KX_BENCH_ECHO_PATH); }

double LoadAverage() {
  double load[1];
  return getloadavg(load, 1) == 1 ? load[0] : -1;
}

}  // namespace bench
