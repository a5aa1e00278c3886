#include "check_plot.h"

#include <plplot/plstream.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "equilibrium_law.h"
#include "galaxy_types.h"
#include "output_file.h"
#include "random_coord.h"

// Four panels: enclosed mass fraction, density, speeds against radius, and
// the polar angles of positions and velocities. The sample is drawn as
// markers and the model as a line, so that both stay visible wherever they
// agree; a legend names them, and the title gives the file and the verdict.

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr int colour_axes = 1, colour_sample = 2, colour_model = 3, colour_second = 4;

// The model's curves on a log grid of radii from lx_lo to the cut-off.
struct model_curves {
  std::vector<double> log_radius, fraction, log_density, escape_kms;
};

model_curves model_on_grid(const check_model &model, double lx_lo) {
  gal_system sys{};
  sys.typical_length = model.typical_length;
  sys.radius_max = model.radius_max;
  sys.total_mass = model.total_mass;
  const double a = model.typical_length, r_max = model.radius_max;
  const double fraction_at_cutoff = (r_max * r_max) / ((r_max + a) * (r_max + a));
  model_curves curves;
  for (int i = 0; i <= 400; ++i) {
    const double lr = lx_lo + (std::log10(r_max) - lx_lo) * i / 400.0;
    const double r = std::pow(10.0, lr);
    curves.log_radius.push_back(lr);
    curves.fraction.push_back(compute_enclosed_mass_fraction_function(&sys, r));
    // Hernquist density, normalised so the mass inside the cut-off is M.
    const double rho = model.total_mass / fraction_at_cutoff * a / (2.0 * pi * r * std::pow(r + a, 3.0));
    curves.log_density.push_back(std::log10(rho));
    const double escape = model.equilibrium ? compute_equilibrium_escape_velocity_function(&sys, r)
                                            : compute_escape_velocity_function(&sys, r);
    curves.escape_kms.push_back(escape / 1e3);
  }
  return curves;
}

void draw_model(plstream &pls, const std::vector<double> &x, const std::vector<double> &y) {
  pls.col0(colour_model);
  pls.width(2.0);
  pls.line(static_cast<PLINT>(x.size()), x.data(), y.data());
  pls.width(1.0);
}

// The sample's markers, one glyph for a panel's points and its legend alike.
constexpr const char *glyph_circle = "\u25cb";
constexpr const char *glyph_bullet = "\u2022";
constexpr const char *glyph_dot = "\u00b7";
constexpr const char *glyph_cross = "\u00d7";

void draw_points(plstream &pls, int colour, const std::vector<double> &x,
                 const std::vector<double> &y, const char *glyph) {
  pls.col0(colour);
  if (!x.empty()) pls.string(static_cast<PLINT>(x.size()), x.data(), y.data(), glyph);
}

// A legend of markers (entries with a glyph, the one their points use) and
// lines (entries without) in the panel, where corner says (PL_POSITION_ flags).
void draw_legend(plstream &pls, const std::vector<const char *> &text, const std::vector<int> &colours,
                 const std::vector<const char *> &glyphs, PLINT corner) {
  const PLINT n = static_cast<PLINT>(text.size());
  std::vector<PLINT> opt(n), line_colours(n), styles(n, 1), symbol_colours(n), symbol_numbers(n, 1);
  std::vector<PLFLT> line_widths(n, 2.0), symbol_scales(n, 1.0);
  std::vector<const char *> symbols(n, "");
  for (PLINT i = 0; i < n; ++i) {
    opt[i] = glyphs[i] == nullptr ? PL_LEGEND_LINE : PL_LEGEND_SYMBOL;
    if (glyphs[i] != nullptr) symbols[i] = glyphs[i];
    line_colours[i] = symbol_colours[i] = colours[i];
  }
  PLFLT width, height;
  pls.legend(&width, &height, PL_LEGEND_BACKGROUND | PL_LEGEND_BOUNDING_BOX,
             corner | PL_POSITION_INSIDE, 0.02,
             0.02, 0.08, 0, colour_axes, 1, 0, 0, n, opt.data(), 1.0, 0.8, 2.0, 0.0, colours.data(),
             text.data(), nullptr, nullptr, nullptr, nullptr, line_colours.data(), styles.data(),
             line_widths.data(), symbol_colours.data(), symbol_scales.data(), symbol_numbers.data(),
             symbols.data());
  pls.col0(colour_axes);
}

// Limits a panel can be drawn with: finite, and not empty.
void safe_range(double *lo, double *hi) {
  if (!std::isfinite(*lo)) *lo = -300.0;
  if (!std::isfinite(*hi)) *hi = 300.0;
  if (!(*hi > *lo)) *hi = *lo + 1.0;
}

void panel_fraction(plstream &pls, const std::vector<double> &radii, const model_curves &curves,
                    double lx_lo, double lx_hi) {
  // Forty quantiles of the sample: markers stay apart from the model line
  // at any N.
  std::vector<double> x, y;
  for (int k = 1; k <= 40; ++k) {
    const size_t i = std::min(radii.size() - 1, radii.size() * k / 40);
    x.push_back(std::log10(radii[i]));
    y.push_back(static_cast<double>(i + 1) / static_cast<double>(radii.size()));
  }
  pls.col0(colour_axes);
  pls.env(lx_lo, lx_hi, 0.0, 1.05, 0, 10);
  pls.lab("radius (m)", "enclosed mass fraction", "Enclosed mass fraction");
  draw_model(pls, curves.log_radius, curves.fraction);
  draw_points(pls, colour_sample, x, y, glyph_circle);
  draw_legend(pls, {"sample (quantiles)", "model"}, {colour_sample, colour_model}, {glyph_circle, nullptr},
              PL_POSITION_TOP | PL_POSITION_LEFT);
}

void panel_density(plstream &pls, const std::vector<double> &radii, const check_model &model,
                   const model_curves &curves, double lx_lo, double lx_hi) {
  const int bins = 40;
  const double mass_each = model.total_mass / static_cast<double>(radii.size());
  std::vector<double> counts(bins, 0.0);
  const double lx_top = std::log10(model.radius_max);  // shells end where the model does
  for (double r : radii) {
    const double position = (std::log10(r) - lx_lo) / (lx_top - lx_lo) * bins;
    if (position >= 0.0 && position < bins) counts[static_cast<int>(position)] += 1.0;
  }
  std::vector<double> x, y;
  for (int b = 0; b < bins; ++b) {
    if (counts[b] < 3.0) continue;  // a shell of one or two particles says little
    const double r0 = std::pow(10.0, lx_lo + (lx_top - lx_lo) * b / bins);
    const double r1 = std::pow(10.0, lx_lo + (lx_top - lx_lo) * (b + 1) / bins);
    x.push_back(std::log10(std::sqrt(r0 * r1)));
    y.push_back(std::log10(counts[b] * mass_each / (4.0 / 3.0 * pi * (r1 * r1 * r1 - r0 * r0 * r0))));
  }
  double y_lo = *std::min_element(curves.log_density.begin(), curves.log_density.end());
  double y_hi = *std::max_element(curves.log_density.begin(), curves.log_density.end());
  for (double v : y) y_lo = std::min(y_lo, v), y_hi = std::max(y_hi, v);
  safe_range(&y_lo, &y_hi);
  pls.col0(colour_axes);
  pls.env(lx_lo, lx_hi, y_lo - 0.5, y_hi + 0.5, 0, 30);
  pls.lab("radius (m)", "density (kg/m#u3#d)", "Density in logarithmic shells");
  draw_model(pls, curves.log_radius, curves.log_density);
  draw_points(pls, colour_sample, x, y, glyph_bullet);
  draw_legend(pls, {"sample", "model"}, {colour_sample, colour_model}, {glyph_bullet, nullptr},
              PL_POSITION_TOP | PL_POSITION_RIGHT);
}

void panel_speeds(plstream &pls, const check_sample &sample, const model_curves &curves,
                  double lx_lo, double lx_hi) {
  std::vector<double> x, y;
  double v_hi = *std::max_element(curves.escape_kms.begin(), curves.escape_kms.end());
  for (size_t i = 0; i < sample.speeds.size(); ++i) {
    const double r = sample.speed_radii[i], v = sample.speeds[i] / 1e3;
    if (!(r > 0.0) || !std::isfinite(r) || !std::isfinite(v)) continue;
    x.push_back(std::log10(r));
    y.push_back(v);
    v_hi = std::max(v_hi, v);
  }
  double v_lo = 0.0;
  safe_range(&v_lo, &v_hi);
  pls.col0(colour_axes);
  pls.env(lx_lo, lx_hi, 0.0, v_hi * 1.05, 0, 10);
  pls.lab("radius (m)", "speed (km/s)", ("Speeds of " + std::to_string(x.size()) + " particles").c_str());
  draw_points(pls, colour_sample, x, y, glyph_dot);
  draw_model(pls, curves.log_radius, curves.escape_kms);
  draw_legend(pls, {"sample", "escape speed"}, {colour_sample, colour_model}, {glyph_dot, nullptr},
              PL_POSITION_TOP | PL_POSITION_RIGHT);
}

// Densities of cos(polar angle) in 30 bins: the model's law is 1/2 when
// isotropic, 1 / (pi sqrt(1 - c^2)) when the angle itself is uniform.
std::vector<double> cosine_histogram(const std::vector<double> &cosines, std::vector<double> *x) {
  const int bins = 30;
  std::vector<double> counts(bins, 0.0), y;
  for (double c : cosines) counts[std::min(bins - 1, static_cast<int>((c + 1.0) / 2.0 * bins))] += 1.0;
  x->clear();
  for (int b = 0; b < bins; ++b) {
    x->push_back(-1.0 + (b + 0.5) * 2.0 / bins);
    y.push_back(cosines.empty() ? 0.0 : counts[b] / cosines.size() * bins / 2.0);
  }
  return y;
}

void panel_directions(plstream &pls, const check_sample &sample, const check_model &model) {
  std::vector<double> x_pos, x_vel;
  const std::vector<double> y_pos = cosine_histogram(sample.pos_cos_theta, &x_pos);
  const std::vector<double> y_vel = cosine_histogram(sample.vel_cos_theta, &x_vel);
  std::vector<double> mx, my;
  for (int i = 0; i <= 400; ++i) {
    const double c = -0.995 + 1.99 * i / 400.0;
    mx.push_back(c);
    my.push_back(model.equilibrium ? 0.5 : 1.0 / (pi * std::sqrt(1.0 - c * c)));
  }
  double y_hi = *std::max_element(my.begin(), my.end());
  for (double v : y_pos) y_hi = std::max(y_hi, v);
  for (double v : y_vel) y_hi = std::max(y_hi, v);
  pls.col0(colour_axes);
  // Room above the data for the legend.
  pls.env(-1.0, 1.0, 0.0, std::max(1.2, std::min(y_hi, 4.0) * 1.15), 0, 0);
  pls.lab("cos(polar angle)", "density", "Directions: polar angles");
  draw_model(pls, mx, my);
  draw_points(pls, colour_sample, x_pos, y_pos, glyph_circle);
  draw_points(pls, colour_second, x_vel, y_vel, glyph_cross);
  draw_legend(pls, {"positions", "velocities", "model"}, {colour_sample, colour_second, colour_model},
              {glyph_circle, glyph_cross, nullptr}, PL_POSITION_TOP);
}

// The PNG was written whole when it ends with its IEND chunk.
bool png_is_complete(const std::string &path) {
  static const unsigned char end[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82};
  std::FILE *in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) return false;
  unsigned char tail[12];
  const bool ok = std::fseek(in, -12, SEEK_END) == 0 && std::fread(tail, 1, 12, in) == 12 &&
                  std::equal(tail, tail + 12, end);
  std::fclose(in);
  return ok;
}

std::unique_ptr<plstream> open_stream(const std::string &png) {
  auto pls = std::make_unique<plstream>();
  pls->sdev("pngcairo");
  pls->sfnam(png.c_str());
  pls->spage(0.0, 0.0, 1600, 1200, 0, 0);
  pls->scolbg(255, 255, 255);
  pls->scol0(colour_axes, 0, 0, 0);
  pls->scol0(colour_sample, 31, 119, 180);
  pls->scol0(colour_model, 214, 39, 40);
  pls->scol0(colour_second, 44, 160, 44);
  pls->ssub(2, 2);
  pls->init();
  pls->schr(0.0, 0.8);
  return pls;
}

void draw(const std::string &png, const check_result &result, const check_model &model,
          const std::vector<double> &radii, const std::string &title) {
  const double a = model.typical_length;
  // From the half decade below the innermost particle, so that the first
  // density shell is not cut at a particle.
  const double r_lo = std::max(radii.front(), 1e-4 * a);
  // Up to a decade beyond the cut-off: a particle farther out is already a
  // failed check, and would squeeze the model into a corner.
  const double r_hi = std::min(std::max(radii.back(), model.radius_max) * 1.05, 10.0 * model.radius_max);
  double lx_lo = std::floor(std::log10(r_lo) * 2.0) / 2.0, lx_hi = std::log10(r_hi);
  safe_range(&lx_lo, &lx_hi);
  const model_curves curves = model_on_grid(model, lx_lo);
  auto pls = open_stream(png);
  panel_fraction(*pls, radii, curves, lx_lo, lx_hi);
  pls->mtex("t", 4.0, 0.0, 0.0, title.c_str());
  panel_density(*pls, radii, model, curves, lx_lo, lx_hi);
  panel_speeds(*pls, result.sample, curves, lx_lo, lx_hi);
  panel_directions(*pls, result.sample, model);
  pls.reset();  // the destructor writes and closes the file
}

}  // namespace

bool check_plot_available() { return true; }

namespace {

// Draws with draw_into(scratch) into a private file, checks it is whole
// (the library reports no write error), then puts it in place as
// galaxy-ic puts its output.
template <class Draw>
bool write_png(const std::string &plot_file, std::string *why, Draw draw_into) {
  const char *tmpdir = std::getenv("TMPDIR");
  std::string scratch = std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") +
                        "/galaxy-check-XXXXXX";
  const int fd = mkstemp(scratch.data());
  if (fd < 0) {
    *why = "cannot create a temporary file to draw into";
    return false;
  }
  close(fd);
  draw_into(scratch);
  std::string bytes;
  const bool drawn = png_is_complete(scratch) && [&]() {
    std::FILE *in = std::fopen(scratch.c_str(), "rb");
    char buffer[1 << 16];
    size_t got;
    while (in != nullptr && (got = std::fread(buffer, 1, sizeof buffer, in)) > 0) bytes.append(buffer, got);
    return in != nullptr && std::fclose(in) == 0;
  }();
  unlink(scratch.c_str());
  if (!drawn) {
    *why = "the picture could not be written whole (disk full?)";
    return false;
  }
  output_file out;
  if (!open_output_file(&out, plot_file)) {
    *why = "cannot create the file";
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out.file) == bytes.size();
  if (commit_output_file(&out, written) != output_committed) {
    *why = "cannot write the file";
    return false;
  }
  return true;
}

double largest_of(const std::vector<std::vector<double>> &all) {
  double top = 1.0;
  for (const std::vector<double> &v : all) {
    for (const double x : v) top = std::isfinite(x) ? std::max(top, x) : top;
  }
  return top;
}

void panel_positions(plstream &pls, const disc_picture &d, bool edge_on) {
  const double extent = std::min(d.truncation, 6.0);
  pls.col0(colour_axes);
  pls.env(-extent, extent, edge_on ? -0.5 * extent : -extent, edge_on ? 0.5 * extent : extent, edge_on ? 0 : 1, 0);
  pls.lab("x (R_d)", edge_on ? "z (R_d)" : "y (R_d)", edge_on ? "The disc edge-on" : "The disc face-on");
  draw_points(pls, colour_sample, d.x, edge_on ? d.z : d.y, glyph_dot);
}

void panel_rotation(plstream &pls, const disc_picture &d) {
  const double top = 1.1 * largest_of({d.curve_vc, d.ring_vphi});
  pls.col0(colour_axes);
  pls.env(0.0, d.truncation, 0.0, top, 0, 0);
  pls.lab("R (R_d)", "speed (km/s)", "Rotation curve");
  draw_model(pls, d.curve_R, d.curve_vc);
  pls.col0(colour_second);
  pls.line(static_cast<PLINT>(d.curve_R.size()), d.curve_R.data(), d.curve_disc.data());
  pls.lsty(2);
  pls.line(static_cast<PLINT>(d.curve_R.size()), d.curve_R.data(), d.curve_rest.data());
  pls.lsty(3);
  pls.col0(colour_model);
  pls.line(static_cast<PLINT>(d.curve_R.size()), d.curve_R.data(), d.curve_vphi.data());
  pls.lsty(1);
  draw_points(pls, colour_sample, d.ring_R, d.ring_vphi, glyph_circle);
  draw_legend(pls, {"v_c, model", "v_c of the disc", "v_c of the rest", "mean v_phi, model", "mean v_phi, sample"},
              {colour_model, colour_second, colour_second, colour_model, colour_sample},
              {nullptr, nullptr, nullptr, nullptr, glyph_circle}, PL_POSITION_BOTTOM | PL_POSITION_RIGHT);
}

void panel_dispersions(plstream &pls, const disc_picture &d) {
  const double top = 1.1 * largest_of({d.curve_sigma_R, d.ring_sigma_R});
  pls.col0(colour_axes);
  pls.env(0.0, d.truncation, 0.0, top, 0, 0);
  pls.lab("R (R_d)", "dispersion (km/s)", "Dispersions");
  draw_model(pls, d.curve_R, d.curve_sigma_R);
  pls.col0(colour_second);
  pls.width(2.0);
  pls.line(static_cast<PLINT>(d.curve_R.size()), d.curve_R.data(), d.curve_sigma_z.data());
  pls.width(1.0);
  draw_points(pls, colour_sample, d.ring_R, d.ring_sigma_R, glyph_circle);
  draw_points(pls, colour_sample, d.ring_R, d.ring_sigma_z, glyph_cross);
  draw_legend(pls, {"sigma_R, model", "sigma_z, model", "sigma_R, sample", "sigma_z, sample"},
              {colour_model, colour_second, colour_sample, colour_sample}, {nullptr, nullptr, glyph_circle, glyph_cross},
              PL_POSITION_TOP | PL_POSITION_RIGHT);
}

}  // namespace

bool write_disc_plot(const disc_picture &disc, bool passed, const std::string &file_label, const std::string &plot_file,
                     std::string *why) {
  if (!disc.present || disc.x.empty()) {
    *why = "no disc particle to draw";
    return false;
  }
  const std::string title = "galaxy-check " + file_label + ", its disc: " + (passed ? "PASS" : "FAIL");
  return write_png(plot_file, why, [&](const std::string &png) {
    auto pls = open_stream(png);
    panel_positions(*pls, disc, false);
    pls->mtex("t", 4.0, 0.0, 0.0, title.c_str());
    panel_positions(*pls, disc, true);
    panel_rotation(*pls, disc);
    panel_dispersions(*pls, disc);
    pls.reset();
  });
}

bool write_check_plot(const check_result &result, const check_model &model,
                      const std::string &file_label, const std::string &plot_file, std::string *why) {
  // Radii the axes can hold: positive and finite.
  std::vector<double> radii;
  for (double r : result.sample.sorted_radii) {
    if (r > 0.0 && std::isfinite(r)) radii.push_back(r);
  }
  if (radii.empty()) {
    *why = "no particle at a finite distance from the centre";
    return false;
  }
  const std::string title = "galaxy-check " + file_label + (model.equilibrium ? " (equilibrium)" : "") +
                            ": " + (result.passed ? "PASS" : "FAIL");
  return write_png(plot_file, why, [&](const std::string &png) { draw(png, result, model, radii, title); });
}
