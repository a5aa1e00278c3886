// Micro-benchmarks: the fixed-point formatter against snprintf on the
// magnitudes the particle file holds, galaxy creation, and the sort behind
// galaxy-check's Kolmogorov-Smirnov tests against std::sort.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "fixed_format.h"
#include "checks.h"
#include "check_statistics.h"
#include "galaxy_types.h"

namespace {

// Positions and velocities of a real galaxy, in file order.
const std::vector<double> &sample_values() {
  static const std::vector<double> values = [] {
    gal_system *sys = alloc_gal_system(20000, 1e18, 8e18, 1.9891e39, 1.0, 1000.0);
    std::vector<double> v;
    for (int i = 0; i < 3 * sys->nb_element; ++i) {
      v.push_back(sys->pos[i]);
      v.push_back(sys->vel[i]);
    }
    free_gal_system(sys);
    return v;
  }();
  return values;
}

void BM_format_fixed6(benchmark::State &state) {
  const std::vector<double> &values = sample_values();
  char text[fixed6_max_length + format_slack];
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(format_fixed6(values[i], text));
    if (++i == values.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_format_fixed6);

void BM_snprintf(benchmark::State &state) {
  const std::vector<double> &values = sample_values();
  char text[fixed6_max_length + 1];
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::snprintf(text, sizeof text, "%lf", values[i]));
    if (++i == values.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_snprintf);

void BM_create_galaxy(benchmark::State &state) {
  for (auto _ : state) {
    gal_system *sys = alloc_gal_system(static_cast<int32_t>(state.range(0)), 1e18, 8e18,
                                       1.9891e39, 1.0, 1000.0);
    benchmark::DoNotOptimize(sys->pos);
    free_gal_system(sys);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_create_galaxy)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace



namespace {

std::vector<double> uniform_keys(int64_t count) {
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> keys(static_cast<size_t>(count));
  for (double &k : keys) k = unit(rng);
  return keys;
}

void BM_ascending_order(benchmark::State &state) {
  const std::vector<double> keys = uniform_keys(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(ascending_order(keys).data());
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ascending_order)->Arg(1000000)->Unit(benchmark::kMillisecond);

// The yardstick for the sort above.
void BM_std_sort(benchmark::State &state) {
  const std::vector<double> keys = uniform_keys(state.range(0));
  for (auto _ : state) {
    std::vector<double> copy = keys;
    std::sort(copy.begin(), copy.end());
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_std_sort)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
