#include <plplot/plstream.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "galaxy_check.h"
#include "galaxy_types.h"
#include "random_coord.h"

// Three panels side by side: enclosed mass fraction, density and speeds
// against radius; the sample in blue, the model (escape speed in the third
// panel) dashed in red.

namespace {

constexpr double pi = 3.14159265358979323846;

void draw_line(plstream &pls, int colour, const std::vector<double> &x, const std::vector<double> &y) {
  pls.col0(colour);
  pls.line(static_cast<PLINT>(x.size()), x.data(), y.data());
}

// The model dashed and wider, so that a sample lying on it stays visible.
void draw_model(plstream &pls, const std::vector<double> &x, const std::vector<double> &y) {
  pls.lsty(2);
  pls.width(2.0);
  draw_line(pls, 3, x, y);
  pls.lsty(1);
  pls.width(1.0);
}

}  // namespace

bool write_check_plot(const check_sample &sample, const check_model &model,
                      const std::string &file, std::string *why) {
  std::vector<double> radii;
  for (double r : sample.sorted_radii) {
    if (r > 0.0) radii.push_back(r);
  }
  if (radii.empty()) {
    *why = "no particle away from the centre";
    return false;
  }
  if (std::FILE *probe = std::fopen(file.c_str(), "wb")) {
    std::fclose(probe);
  } else {
    *why = "cannot create the file";
    return false;
  }
  gal_system sys{};
  sys.typical_length = model.typical_length;
  sys.radius_max = model.radius_max;
  sys.total_mass = model.total_mass;
  const double a = model.typical_length;
  // From the half decade below the innermost particle, so that the first
  // density shell is not cut at a particle.
  const double r_lo = std::max(radii.front(), 1e-4 * a);
  const double r_hi = std::max(radii.back(), model.radius_max) * 1.05;
  const double lx_lo = std::floor(std::log10(r_lo) * 2.0) / 2.0, lx_hi = std::log10(r_hi);

  auto pls = std::make_unique<plstream>();
  pls->sdev("pngcairo");
  pls->sfnam(file.c_str());
  pls->spage(0.0, 0.0, 1800, 600, 0, 0);
  pls->scolbg(255, 255, 255);
  pls->scol0(1, 0, 0, 0);        // axes and labels
  pls->scol0(2, 31, 119, 180);   // sample
  pls->scol0(3, 214, 39, 40);    // model
  pls->ssub(3, 1);
  pls->init();
  pls->schr(0.0, 0.75);

  // Model curves on a log grid of radii.
  std::vector<double> grid_log, model_fraction, model_density_log, model_escape;
  const double fraction_at_cutoff =
      (model.radius_max * model.radius_max) / ((model.radius_max + a) * (model.radius_max + a));
  for (int i = 0; i <= 400; ++i) {
    const double lr = lx_lo + (std::log10(model.radius_max) - lx_lo) * i / 400.0;
    const double r = std::pow(10.0, lr);
    grid_log.push_back(lr);
    model_fraction.push_back(compute_enclosed_mass_fraction_function(&sys, r));
    // Hernquist density, normalised so the mass inside the cut-off is M.
    const double rho = model.total_mass / fraction_at_cutoff * a / (2.0 * pi * r * std::pow(r + a, 3.0));
    model_density_log.push_back(std::log10(rho));
    model_escape.push_back(compute_escape_velocity_function(&sys, r));
  }

  // 1. Enclosed mass fraction.
  {
    std::vector<double> x, y;
    const size_t step = std::max<size_t>(1, radii.size() / 4000);
    for (size_t i = 0; i < radii.size(); i += step) {
      x.push_back(std::log10(radii[i]));
      y.push_back(static_cast<double>(i + 1) / static_cast<double>(radii.size()));
    }
    x.push_back(std::log10(radii.back()));
    y.push_back(1.0);
    pls->col0(1);
    pls->env(lx_lo, lx_hi, 0.0, 1.05, 0, 10);
    pls->lab("radius (m)", "enclosed mass fraction", "Enclosed mass fraction");
    draw_line(*pls, 2, x, y);
    draw_model(*pls, grid_log, model_fraction);
  }

  // 2. Density: counts in logarithmic shells over the shell volumes.
  {
    const int bins = 40;
    const double mass_each = model.total_mass / static_cast<double>(radii.size());
    std::vector<double> counts(bins, 0.0);
    // Shells end at the cut-off, where the model does.
    const double lx_top = std::log10(model.radius_max);
    for (double r : radii) {
      const int b = static_cast<int>((std::log10(r) - lx_lo) / (lx_top - lx_lo) * bins);
      if (b >= 0 && b < bins) counts[b] += 1.0;
    }
    std::vector<double> x, y;
    for (int b = 0; b < bins; ++b) {
      if (counts[b] < 3.0) continue;  // a shell of one or two particles says little
      const double r0 = std::pow(10.0, lx_lo + (lx_top - lx_lo) * b / bins);
      const double r1 = std::pow(10.0, lx_lo + (lx_top - lx_lo) * (b + 1) / bins);
      const double volume = 4.0 / 3.0 * pi * (r1 * r1 * r1 - r0 * r0 * r0);
      x.push_back(std::log10(std::sqrt(r0 * r1)));
      y.push_back(std::log10(counts[b] * mass_each / volume));
    }
    double y_lo = *std::min_element(model_density_log.begin(), model_density_log.end());
    double y_hi = *std::max_element(model_density_log.begin(), model_density_log.end());
    for (double v : y) {
      y_lo = std::min(y_lo, v);
      y_hi = std::max(y_hi, v);
    }
    pls->col0(1);
    pls->env(lx_lo, lx_hi, y_lo - 0.5, y_hi + 0.5, 0, 30);
    pls->lab("radius (m)", "density (kg/m#u3#d)", "Density");
    pls->col0(2);
    pls->poin(static_cast<PLINT>(x.size()), x.data(), y.data(), 17);
    draw_line(*pls, 2, x, y);
    draw_model(*pls, grid_log, model_density_log);
  }

  // 3. Speeds of a subsample, and the escape speed.
  {
    std::vector<double> x, y;
    double v_hi = 0.0;
    for (size_t i = 0; i < sample.speeds.size(); ++i) {
      if (!(sample.speed_radii[i] > 0.0)) continue;
      x.push_back(std::log10(sample.speed_radii[i]));
      y.push_back(sample.speeds[i] / 1e3);
      v_hi = std::max(v_hi, y.back());
    }
    for (double &v : model_escape) v /= 1e3;
    v_hi = std::max(v_hi, *std::max_element(model_escape.begin(), model_escape.end()));
    pls->col0(1);
    pls->env(lx_lo, lx_hi, 0.0, v_hi * 1.05, 0, 10);
    pls->lab("radius (m)", "speed (km/s)",
             ("Speed of " + std::to_string(x.size()) + " particles").c_str());
    pls->col0(2);
    pls->poin(static_cast<PLINT>(x.size()), x.data(), y.data(), 1);
    draw_model(*pls, grid_log, model_escape);
  }
  pls.reset();  // the destructor writes and closes the file
  return true;
}
