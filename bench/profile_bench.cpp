// Micro-benchmarks of the tabulated models: building the tables (target
// <= 50 ms for any profile) and drawing a particle's radius and speed.
#include <benchmark/benchmark.h>

#include <string>

#include "profile_model.h"
#include "profile_sampler.h"
#include "random_stream.h"

namespace {

struct named_model {
  const char *name;
  double taper, anisotropy;
};

const named_model models[] = {{"hernquist", 0, 0}, {"plummer", 0, 0}, {"dehnen:0.5", 0, 0},
                              {"nfw", 10, 0},      {"hernquist", 0, 1}, {"jaffe", 0, 0}};

density_law law_of(const named_model &m) {
  density_law law;
  std::string why;
  parse_density_law(m.name, &law, &why);
  law.taper_radius = m.taper;
  return law;
}

void BM_BuildTables(benchmark::State &state) {
  const named_model &m = models[state.range(0)];
  state.SetLabel(std::string(m.name) + (m.taper > 0 ? ", taper 10 a" : "") + (m.anisotropy > 0 ? ", r_a = a" : ""));
  for (auto _ : state) {
    profile_model model;
    profile_sampler sampler;
    std::string why;
    build_profile_model(law_of(m), m.anisotropy, &model, &why);
    build_profile_sampler(model, &sampler);
    benchmark::DoNotOptimize(sampler.cumulative.data());
  }
}
BENCHMARK(BM_BuildTables)->DenseRange(0, 5)->Unit(benchmark::kMillisecond);

void BM_DrawRadiusAndSpeed(benchmark::State &state) {
  const named_model &m = models[state.range(0)];
  profile_model model;
  profile_sampler sampler;
  std::string why;
  build_profile_model(law_of(m), m.anisotropy, &model, &why);
  build_profile_sampler(model, &sampler);
  random_stream stream;
  init_private_copy_stream(&stream);
  for (auto _ : state) {
    const double r = sample_profile_radius(sampler, next_uniform(&stream));
    benchmark::DoNotOptimize(sample_profile_kinetic(sampler, r, &stream));
  }
  state.SetLabel(m.name);
}
BENCHMARK(BM_DrawRadiusAndSpeed)->DenseRange(0, 5);

}  // namespace

BENCHMARK_MAIN();
