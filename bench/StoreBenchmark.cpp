// Lookup cost of the captured content store against a plain hash map with
// case-folded keys, over the same 1,000,000 distinct URLs in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/TarvikDataBuffer.h"
#include "core/UrlKey.h"

namespace {

constexpr size_t UrlCount = 1000000;

const std::vector<std::string>& Urls() {
  static const std::vector<std::string> urls = [] {
    std::vector<std::string> v;
    v.reserve(UrlCount);
    for (size_t i = 0; i < UrlCount; ++i)
      v.push_back("http://Host" + std::to_string(i % 97) + ".example.com/Path/To/Resource-" + std::to_string(i) +
                  ".png?q=" + std::to_string(i * 7919));
    return v;
  }();
  return urls;
}

// Lookups in a shuffled order, so neither side gets cache-friendly access.
const std::vector<uint32_t>& Order() {
  static const std::vector<uint32_t> order = [] {
    std::vector<uint32_t> v(UrlCount);
    for (uint32_t i = 0; i < UrlCount; ++i) v[i] = i;
    std::shuffle(v.begin(), v.end(), std::mt19937(42));
    return v;
  }();
  return order;
}

tarvik::TTarvikDataBuffer& Store() {
  static tarvik::TTarvikDataBuffer* store = [] {
    auto* s = new tarvik::TTarvikDataBuffer();
    for (const auto& url : Urls()) s->Add(url);
    return s;
  }();
  return *store;
}

struct Plain {
  std::string ContentType;
};
std::unordered_map<std::string, Plain>& Baseline() {
  static auto* map = [] {
    auto* m = new std::unordered_map<std::string, Plain>();
    for (const auto& url : Urls()) (*m)[tarvik::UrlKey(url)];
    return m;
  }();
  return *map;
}

void BM_GetURLContent(benchmark::State& state) {
  auto& store = Store();
  const auto& urls = Urls();
  const auto& order = Order();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(store.GetURLContent(urls[order[i]]).get());
    if (++i == UrlCount) i = 0;
  }
}

void BM_UnorderedMapFoldedKeys(benchmark::State& state) {
  auto& map = Baseline();
  const auto& urls = Urls();
  const auto& order = Order();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(&map[tarvik::UrlKey(urls[order[i]])]);
    if (++i == UrlCount) i = 0;
  }
}

BENCHMARK(BM_UnorderedMapFoldedKeys)->Iterations(3000000);
BENCHMARK(BM_GetURLContent)->Iterations(3000000);

// Prints the ratio of the two after the regular report.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const double ns = run.GetAdjustedRealTime();
      if (run.benchmark_name().find("GetURLContent") != std::string::npos) FStore = ns;
      if (run.benchmark_name().find("UnorderedMap") != std::string::npos) FBaseline = ns;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    if (FStore > 0 && FBaseline > 0)
      std::printf("store lookup: %.1f ns, unordered_map with folded keys: %.1f ns, ratio %.2f (target <= 1.5)\n",
                  FStore, FBaseline, FStore / FBaseline);
  }

 private:
  double FStore = 0, FBaseline = 0;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Store();
  Baseline();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
}
