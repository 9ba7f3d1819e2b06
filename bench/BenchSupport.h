#pragma once

// A console reporter that also keeps each benchmark's figures, so that a program can print the
// ratio of a hot path to its reference measured in the same run.

#include <benchmark/benchmark.h>
#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace brindlet::bench {

class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      Figures& f = figures_[run.benchmark_name()];
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) f.bytesPerSecond = it->second;
      f.nsPerIteration = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }

  struct Figures {
    double bytesPerSecond = 0;
    double nsPerIteration = 0;
  };
  const Figures& operator[](const std::string& name) { return figures_[name]; }

 private:
  std::map<std::string, Figures> figures_;
};

// Runs the registered benchmarks and returns their figures.
inline RecordingReporter& runAll(int argc, char** argv) {
  static RecordingReporter reporter;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return reporter;
}

// The sample below which the fraction p of the samples lie (0 for none).
// a / b, or 0 when there is no b to compare with.
inline double ratio(double a, double b) {
  return b > 0 ? a / b : 0.0;
}
inline constexpr double kMiB = 1024.0 * 1024.0;

inline double percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[std::min(samples.size() - 1, std::size_t(p * double(samples.size())))];
}

// The first `count` CPUs of the set the process was given, and their numbers as text.
inline std::pair<cpu_set_t, std::string> firstCpus(int count) {
  cpu_set_t given;
  CPU_ZERO(&given);
  sched_getaffinity(0, sizeof given, &given);
  cpu_set_t set;
  CPU_ZERO(&set);
  std::string chosen;
  for (int cpu = 0; cpu < CPU_SETSIZE && CPU_COUNT(&set) < count; ++cpu) {
    if (!CPU_ISSET(cpu, &given)) continue;
    CPU_SET(cpu, &set);
    chosen += (chosen.empty() ? "" : " and ") + std::to_string(cpu);
  }
  return {set, chosen};
}

// Every thread of a process ("self" or a process id), and every thread it makes from now on, on
// the set.
inline void pinProcess(const std::string& process, const cpu_set_t& set) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + process + "/task")) {
    sched_setaffinity(std::stoi(task.path().filename().string()), sizeof set, &set);
  }
}

// Every thread of the process, and every thread made from now on, on the first two CPUs of the
// set the process was given; the CPUs chosen, as text.
inline std::string pinToTwoCpus() {
  const auto [set, chosen] = firstCpus(2);
  pinProcess("self", set);
  return chosen;
}

}  // namespace brindlet::bench
