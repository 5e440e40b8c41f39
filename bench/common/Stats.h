// Small helpers shared by the benchmark programs: percentiles, the median,
// and reading "--name value" options.
#pragma once

#include <string>
#include <vector>

namespace bench {

// The p-th percentile (0..100) by nearest rank; sorts the values.
double Percentile(std::vector<double>& values, double p);
double Median(std::vector<double> values);
// The one-minute load average (-1 when unknown): the figures of a run taken
// while other work shares the cores are not comparable with a quiet run.
double LoadAverage();

// "--name value" from the command line, or the fallback.
std::string Option(int argc, char** argv, const std::string& name, const std::string& fallback);
long long OptionNumber(int argc, char** argv, const std::string& name, long long fallback);

// The host and echo host programs: --host / --echo, else the paths built beside us.
std::string HostPath(int argc, char** argv);
std::string EchoPath(int argc, char** argv);

}  // namespace bench
