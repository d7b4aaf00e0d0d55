// SPDX-License-Identifier: MIT
// What GPSWrite costs against the system calls it makes, done by hand in the
// same run: per block, at full speed, while waiting, and after a burst.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <benchmark/benchmark.h>

#include "ports.h"

namespace {

// One block: the receiver's bytes are written, then captured.
template <typename Port> void Block(benchmark::State &state) {
  Port port;
  std::string block = Pattern(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    if (!Feed(port.line.master(), block)) {
      state.SkipWithError("the pseudo-terminal refused the bytes");
      break;
    }
    port.Capture();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Back to back from a line fed as fast as it takes bytes.
template <typename Port> void Throughput(benchmark::State &state) {
  Port port;
  std::atomic<bool> stop{false};
  gpssim::Options flood;
  flood.baud = 0;
  flood.patternBytes = 1LL << 40;
  std::thread feeder([&] {
    gpssim::WaitForRawLine(port.line.master(), stop);
    gpssim::Emit(port.line.master(), flood, stop);
  });
  long long bytes = 0;
  struct stat captured;
  for (auto _ : state) {
    port.Capture();
    bytes += stat(kCapture.c_str(), &captured) == 0 ? captured.st_size : 0;
  }
  stop = true;
  feeder.join();
  state.SetBytesProcessed(bytes);
}

double CpuMs() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// A read that waits out the whole 2 s with nothing arriving.
void EmptyReadCpu(benchmark::State &state) {
  LibraryPort port;
  double cpu = 0;
  for (auto _ : state) {
    double start = CpuMs();
    port.Capture();
    cpu += CpuMs() - start;
  }
  state.counters["cpu_ms_per_read"] = cpu / state.iterations();
}

// From the last byte of a 400-byte burst to GPSWrite returning.
void LatencyAfterBurst(benchmark::State &state) {
  LibraryPort port;
  std::string burst = Pattern(400);
  std::vector<double> latencies;
  for (auto _ : state) {
    if (!Feed(port.line.master(), burst)) {
      state.SkipWithError("the pseudo-terminal refused the bytes");
      break;
    }
    auto lastByte = Clock::now();
    port.Capture();
    std::chrono::duration<double> latency = Clock::now() - lastByte;
    state.SetIterationTime(latency.count());
    latencies.push_back(latency.count() * 1e3);
  }
  std::sort(latencies.begin(), latencies.end());
  state.counters["median_ms"] = latencies[latencies.size() / 2];
}

// Each figure is the median of a few repetitions: a pseudo-terminal's
// wake-ups vary from run to run more than the library's share does.
BENCHMARK_TEMPLATE(Block, LibraryPort)
    ->Name("GPSWrite")
    ->Arg(5000)
    ->Repetitions(5)
    ->DisplayAggregatesOnly(true);
BENCHMARK_TEMPLATE(Block, RawPort)
    ->Name("raw")
    ->Arg(5000)
    ->Repetitions(5)
    ->DisplayAggregatesOnly(true);
BENCHMARK_TEMPLATE(Block, LibraryPort)
    ->Name("GPSWrite")
    ->Arg(80)
    ->Iterations(10)
    ->Repetitions(3)
    ->DisplayAggregatesOnly(true);
BENCHMARK_TEMPLATE(Block, RawPort)
    ->Name("raw")
    ->Arg(80)
    ->Iterations(10)
    ->Repetitions(3)
    ->DisplayAggregatesOnly(true);
BENCHMARK_TEMPLATE(Throughput, LibraryPort)
    ->Name("GPSWrite/flood")
    ->Repetitions(5)
    ->DisplayAggregatesOnly(true);
BENCHMARK_TEMPLATE(Throughput, RawPort)
    ->Name("raw/flood")
    ->Repetitions(5)
    ->DisplayAggregatesOnly(true);
BENCHMARK(EmptyReadCpu)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(LatencyAfterBurst)
    ->Iterations(21)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Prints as usual, then sets each library median beside its hand-made one.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.aggregate_name != "median") {
        continue;
      }
      std::string name = run.run_name.function_name + "/" + run.run_name.args;
      seconds_[name] = run.GetAdjustedRealTime();
      auto rate = run.counters.find("bytes_per_second");
      rates_[name] = rate == run.counters.end() ? 0 : double(rate->second);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const char *size : {"5000", "80"}) {
      std::string library = std::string("GPSWrite/") + size;
      std::string raw = std::string("raw/") + size;
      if (seconds_.count(library) && seconds_.count(raw)) {
        std::printf("%s against %s: time ratio %.3f (goal <= 1.10)\n",
                    library.c_str(), raw.c_str(),
                    seconds_[library] / seconds_[raw]);
      }
    }
    if (rates_["raw/flood/"] > 0) {
      std::printf("GPSWrite/flood against raw/flood: throughput ratio %.3f "
                  "(goal >= 0.90)\n",
                  rates_["GPSWrite/flood/"] / rates_["raw/flood/"]);
    }
  }

private:
  std::map<std::string, double> seconds_, rates_;
};

} // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::AddCustomContext("capture file", kCapture);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  unlink(kCapture.c_str());
  return 0;
}
