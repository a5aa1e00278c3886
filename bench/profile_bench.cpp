// Micro-benchmarks of the tabulated models: building the tables (target
// <= 50 ms for any profile) and drawing a particle's radius and speed.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "disc_sampler.h"
#include "profile_model.h"
#include "profile_sampler.h"
#include "random_stream.h"
#include "spheroid_flattening.h"

namespace {

struct named_model {
  const char *name;
  double taper, anisotropy, strength;
};

// The equilibrium benchmark's grid, in short: each law untapered, tapered
// at 3 a and 10 a with xi = 1, 2, 4, NFW at 10 a and 30 a, two anisotropic.
const named_model models[] = {
    {"hernquist", 0, 0, 2},    {"plummer", 0, 0, 2},     {"jaffe", 0, 0, 2},       {"dehnen:0.5", 0, 0, 2},
    {"zhao:2,5,0.5", 0, 0, 2}, {"hernquist", 3, 0, 1},   {"plummer", 3, 0, 4},     {"jaffe", 10, 0, 2},
    {"dehnen:0.5", 10, 0, 4},  {"zhao:2,5,0.5", 3, 0, 2}, {"nfw", 10, 0, 1},       {"nfw", 10, 0, 2},
    {"nfw", 30, 0, 4},         {"hernquist", 0, 1, 2},   {"plummer", 0, 1, 2},     {"nfw", 10, 3, 2}};
constexpr int model_count = sizeof models / sizeof models[0];

density_law law_of(const named_model &m) {
  density_law law;
  std::string why;
  parse_density_law(m.name, &law, &why);
  law.taper_radius = m.taper;
  law.taper_strength = m.strength;
  return law;
}

std::string label_of(const named_model &m) {
  std::string label = m.name;
  if (m.taper > 0) label += ", r_c " + std::to_string(static_cast<int>(m.taper)) + " xi " + std::to_string(static_cast<int>(m.strength));
  if (m.anisotropy > 0) label += ", r_a " + std::to_string(static_cast<int>(m.anisotropy));
  return label;
}

void BM_BuildTables(benchmark::State &state) {
  const named_model &m = models[state.range(0)];
  state.SetLabel(label_of(m));
  for (auto _ : state) {
    profile_model model;
    profile_sampler sampler;
    std::string why;
    build_profile_model(law_of(m), m.anisotropy, &model, &why);
    build_profile_sampler(model, &sampler);
    benchmark::DoNotOptimize(sampler.cumulative.data());
  }
}
BENCHMARK(BM_BuildTables)->DenseRange(0, model_count - 1)->Unit(benchmark::kMillisecond);

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
  state.SetLabel(label_of(m));
}
BENCHMARK(BM_DrawRadiusAndSpeed)->DenseRange(0, model_count - 1);

// The Milky-Way-like galaxy of bench/composite.py, in its units (L = the
// halo's r_s, M the whole): NFW halo tapered at 15 r_s, a Hernquist bulge
// of a 100th of its mass and 0.035 of its size, a black hole; every
// component's tables and sampler (target <= 100 ms).
void BM_BuildGalaxy(benchmark::State &state) {
  std::vector<component_law> parts(2);
  std::string why;
  parse_density_law("nfw", &parts[0].law, &why);
  parts[0].law.taper_radius = 15.0;
  const double whole = 1e12 + 1e10 + 4e6;
  parts[0].mass = 1e12 / whole;
  parts[1].mass = 1e10 / whole;
  parts[1].scale = 0.7 / 20.0;
  for (auto _ : state) {
    std::vector<profile_model> models;
    int failed = -1;
    build_galaxy_model(parts, 4e6 / whole, &models, &failed, &why);
    std::vector<profile_sampler> samplers(models.size());
    for (size_t i = 0; i < models.size(); ++i) build_profile_sampler(models[i], &samplers[i]);
    benchmark::DoNotOptimize(samplers.back().cumulative.data());
  }
  state.SetLabel("halo, bulge and black hole");
}
BENCHMARK(BM_BuildGalaxy)->Unit(benchmark::kMillisecond);

// The same galaxy with its exponential disc (5e10 Msun, R_d 3 kpc, z_d 0.3
// kpc, Q 1.5 at 2.4 R_d): the disc's potential, the spheroids' tables in
// the joint potential, their samplers, the disc's moments and the spheroids'
// stretches in its flattened potential (target <= 2 s).
void BM_BuildDiscGalaxy(benchmark::State &state) {
  std::vector<component_law> parts(3);
  std::string why;
  parse_density_law("nfw", &parts[0].law, &why);
  parts[0].law.taper_radius = 15.0;
  const double whole = 1e12 + 5e10 + 1e10 + 4e6;
  parts[0].mass = 1e12 / whole;
  parts[2].mass = 1e10 / whole;
  parts[2].scale = 0.7 / 20.0;
  disc_law law;
  law.mass = parts[1].mass = 5e10 / whole;
  law.scale_length = 3.0 / 20.0, law.scale_height = 0.3 / 20.0;
  law.truncation = 10.0 * law.scale_length, law.truncation_width = 2.0 * law.scale_length;
  law.q_radius = 2.4 * law.scale_length;
  for (auto _ : state) {
    auto disc = std::make_shared<disc_model>();
    build_disc_model(law, disc.get(), &why);
    parts[1].disc = disc;
    std::vector<profile_model> models;
    int failed = -1;
    build_galaxy_model(parts, 4e6 / whole, &models, &failed, &why);
    std::vector<profile_sampler> samplers(models.size());
    for (size_t i : {0, 2}) build_profile_sampler(models[i], &samplers[i]);
    disc_sampler moments;
    build_disc_sampler(models[1], &moments, &why);
    flattening_forces forces;
    build_flattening_forces(models, {&moments}, 4e6 / whole, &forces);
    std::vector<spheroid_flattening> stretches(models.size());
    for (size_t i : {0, 2}) build_spheroid_flattening(forces, models[i], &stretches[i]);
    benchmark::DoNotOptimize(moments.rotation2.data());
    benchmark::DoNotOptimize(stretches[2].stretch_z2.data());
  }
  state.SetLabel("halo, disc, bulge and black hole");
}
BENCHMARK(BM_BuildDiscGalaxy)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
