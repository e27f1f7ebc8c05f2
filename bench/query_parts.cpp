// The C++ side of the queries whose targets are missed, without Python: what each call
// costs before its result becomes Python objects.
// - On the graph as built: detect_cluster_ids (the pass over the entries and the walk),
//   get_graph_data's pass over the store, and get_cluster_density on groups of five
//   concepts drawn uniformly, as the Python runner draws them.
// - Then, in the state the Python runner times spread_activation in (the same decay
//   passes, then three full spreads so that their learning has settled): plan_spread from
//   the given seeds, warm (runs back to back) and cold (a 64 MiB buffer written between
//   runs, as the baseline's run between the module's evicts the caches).
//
// Usage: bench_query_parts <workload file> <decay passes> <project> <min weight> <seed>...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "query/clusters.h"
#include "query/graph_export.h"
#include "query/spread_activation.h"
#include "store/graph_ops.h"
#include "workload_file.h"

namespace {

namespace rm = recall_mesh;

constexpr float kDecayRate = 0.002f;
constexpr std::uint64_t kNow = 1'950'000'000;
constexpr int kRuns = 7;

// Median ms of kRuns runs of op(); before(run) is untimed.
template <class Op, class Before>
double median_ms(Op op, Before before) {
  std::vector<double> runs;
  for (int r = 0; r < kRuns; ++r) {
    before(r);
    const auto start = std::chrono::steady_clock::now();
    op();
    const auto stop = std::chrono::steady_clock::now();
    runs.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
  }
  std::sort(runs.begin(), runs.end());
  return runs[runs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr,
                 "usage: %s <workload file> <decay passes> <project> <min weight> <seed>...\n",
                 argv[0]);
    return 2;
  }
  const rm::bench::Workload w = rm::bench::read_workload(argv[1]);
  const int passes = std::atoi(argv[2]);
  const std::string_view project = argv[3];
  const float min_weight = std::strtof(argv[4], nullptr);
  const std::vector<std::string_view> seeds(argv + 5, argv + argc);

  rm::store::AdjacencyMap adj;
  rm::bench::build(adj, w);
  const auto nothing = [](int) {};

  std::size_t clusters = 0;
  const double clusters_ms = median_ms(
      [&] { clusters = rm::query::detect_cluster_ids(adj, project, min_weight).ends.size(); },
      nothing);
  std::size_t rows = 0;
  const double export_ms =
      median_ms([&] { rows = rm::query::get_graph_data(adj).rows.size(); }, nothing);

  constexpr std::size_t kGroups = 20'000;
  std::mt19937_64 rng(20240611);
  std::uniform_int_distribution<std::size_t> pick(0, w.names.size() - 1);
  std::vector<std::string_view> groups(5 * kGroups);
  float sink = 0.0f;
  const double density_ms = median_ms(
      [&] {
        for (std::size_t g = 0; g < kGroups; ++g) {
          sink += rm::query::get_cluster_density(
              adj, std::span<const std::string_view>(groups).subspan(5 * g, 5), project);
        }
      },
      [&](int) {
        for (std::string_view& name : groups) name = w.names[pick(rng)];
      });

  for (int i = 0; i < passes; ++i) rm::store::decay_and_prune(adj, kDecayRate);
  for (int i = 0; i < 3; ++i) rm::query::spread_activation(adj, seeds, project, kNow);
  std::size_t activated = 0;
  const auto plan = [&] { activated = rm::query::plan_spread(adj, seeds, project, kNow).size(); };
  const double plan_warm_ms = median_ms(plan, nothing);
  std::vector<char> trash(64u << 20);
  const double plan_cold_ms = median_ms(plan, [&](int r) {
    for (std::size_t i = 0; i < trash.size(); i += 64) {
      trash[i] = static_cast<char>(i + static_cast<std::size_t>(r));
    }
  });

  std::printf("clusters %zu\nclusters_ms %.2f\n", clusters, clusters_ms);
  std::printf("export_rows %zu\nexport_ms %.2f\n", rows, export_ms);
  std::printf("density_ns %.1f\ndensity_sink %g\n", density_ms * 1e6 / kGroups,
              static_cast<double>(sink));
  std::printf("activated %zu\nplan_warm_ms %.2f\nplan_cold_ms %.2f\n", activated, plan_warm_ms,
              plan_cold_ms);
  return 0;
}
