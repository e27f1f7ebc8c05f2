// The traversal of spread_activation without Python: plan_spread from the given seeds on
// the workload's graph, in the state the Python runner times it (the same decay passes,
// then three full spreads so that their learning has settled). Timed warm (runs back to
// back) and cold (a 64 MiB buffer written between runs, as the baseline's run between the
// module's evicts the caches). What the module's call adds to this is its result dict.
//
// Usage: bench_spread_parts <workload file> <decay passes> <project> <seed name>...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "query/spread_activation.h"
#include "store/graph_ops.h"
#include "workload_file.h"

namespace {

constexpr float kDecayRate = 0.002f;
constexpr std::uint64_t kNow = 1'950'000'000;
constexpr int kRuns = 7;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s <workload file> <decay passes> <project> <seed>...\n", argv[0]);
    return 2;
  }
  namespace rm = recall_mesh;
  const rm::bench::Workload w = rm::bench::read_workload(argv[1]);
  const int passes = std::atoi(argv[2]);
  const std::string_view project = argv[3];
  const std::vector<std::string_view> seeds(argv + 4, argv + argc);

  rm::store::AdjacencyMap adj;
  rm::bench::build(adj, w);
  for (int i = 0; i < passes; ++i) rm::store::decay_and_prune(adj, kDecayRate);
  for (int i = 0; i < 3; ++i) rm::query::spread_activation(adj, seeds, project, kNow);

  std::vector<char> trash(64u << 20);
  std::vector<double> warm, cold;
  std::size_t activated = 0;
  for (int cold_run = 0; cold_run < 2; ++cold_run) {
    for (int r = 0; r < kRuns; ++r) {
      if (cold_run != 0) {
        for (std::size_t i = 0; i < trash.size(); i += 64)
          trash[i] = static_cast<char>(i + static_cast<std::size_t>(r));
      }
      const auto start = std::chrono::steady_clock::now();
      const rm::query::SpreadPlan plan = rm::query::plan_spread(adj, seeds, project, kNow);
      const auto stop = std::chrono::steady_clock::now();
      activated = plan.size();
      (cold_run != 0 ? cold : warm)
          .push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
  }
  std::printf("activated %zu\n", activated);
  std::printf("plan_warm_ms %.2f\n", median(warm));
  std::printf("plan_cold_ms %.2f\n", median(cold));
  return 0;
}
