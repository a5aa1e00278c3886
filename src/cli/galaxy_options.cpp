#include "galaxy_options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "error_report.h"

namespace {

// A whole-argument number, finite and above 0.
bool parse_positive(const char *text, double *value) {
  char *end = nullptr;
  errno = 0;
  *value = std::strtod(text, &end);
  return end != text && *end == '\0' && errno == 0 && std::isfinite(*value) && *value > 0.0;
}

// One of --mass, --scale-length, --cutoff: value times unit, in SI.
bool judge_positive(const char *text, const char *what, double unit, double *si) {
  double value = 0.0;
  if (!parse_positive(text, &value)) {
    report_error("erreur: %s %s is not a finite number above 0", what, text);
    return false;
  }
  *si = value * unit;
  if (!std::isfinite(*si) || !(*si > 0.0)) {
    report_error("erreur: %s %s lies beyond the range of a double in SI units", what, text);
    return false;
  }
  return true;
}

bool judge_vector(const char *text, const char *what, const char *form, double out[3]) {
  if (parse_vector3(text, out)) return true;
  report_error("erreur: %s %s is not three finite numbers %s", what, text, form);
  return false;
}

// --profile and the options only it takes. Lengths in scale lengths.
bool judge_profile(const run_settings &settings, const unit_scale &scale, galaxy_parameters *galaxy) {
  if (settings.profile_text == nullptr) {
    for (const char *given : {settings.anisotropy_text, settings.cutoff_strength_text}) {
      if (given != nullptr) {
        report_error("erreur: --%s needs --profile", given == settings.anisotropy_text ? "anisotropy-radius"
                                                                                   : "cutoff-strength");
        return false;
      }
    }
    return true;
  }
  if (settings.equilibrium) {
    report_error("erreur: --profile and --equilibrium contradict: a profile is made in equilibrium, "
                "--equilibrium is the Hernquist law of the defined radii");
    return false;
  }
  std::string why;
  if (!parse_density_law(settings.profile_text, &galaxy->law, &why)) {
    report_error("erreur: %s", why.c_str());
    return false;
  }
  galaxy->profile = true;
  galaxy->profile_name = settings.profile_text;
  const double a = galaxy->typical_length;
  // A profile's cut-off is its taper radius, and there is none unless given.
  if (galaxy->cutoff_given) galaxy->law.taper_radius = galaxy->radius_max / a;
  if (!galaxy->cutoff_given) galaxy->radius_max = 0.0;
  double value = 0.0;
  if (settings.cutoff_strength_text != nullptr) {
    if (!parse_positive(settings.cutoff_strength_text, &value)) {
      report_error("erreur: cut-off strength %s is not a finite number above 0", settings.cutoff_strength_text);
      return false;
    }
    galaxy->law.taper_strength = value;
  }
  if (settings.anisotropy_text != nullptr) {
    if (!judge_positive(settings.anisotropy_text, "anisotropy radius", scale.length, &value)) return false;
    galaxy->anisotropy_radius = value / a;
  }
  if (!density_law_is_proper(galaxy->law, &why)) {
    report_error("erreur: profile %s cannot be made: %s", settings.profile_text, why.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool judge_galaxy(const run_settings &settings, galaxy_parameters *galaxy) {
  if (settings.units_text != nullptr && !parse_unit_system(settings.units_text, &galaxy->units)) {
    report_error("erreur: unit system %s is not si, cgs, astro, gadget or model", settings.units_text);
    return false;
  }
  const bool model = galaxy->units == units_model;
  for (const char *given : {settings.mass_text, settings.scale_length_text}) {
    if (model && given != nullptr) {
      report_error("erreur: --%s has no meaning with --units model, whose units are the galaxy's own "
                  "mass and scale length",
                  given == settings.mass_text ? "mass" : "scale-length");
      return false;
    }
  }
  const unit_scale scale = scale_of(galaxy->units, default_total_mass, default_typical_length);
  if (settings.mass_text != nullptr &&
      !judge_positive(settings.mass_text, "mass", scale.mass, &galaxy->total_mass)) {
    return false;
  }
  if (settings.scale_length_text != nullptr &&
      !judge_positive(settings.scale_length_text, "scale length", scale.length, &galaxy->typical_length)) {
    return false;
  }
  galaxy->radius_max = 8.0 * galaxy->typical_length;
  // In model units the cut-off is in scale lengths.
  if (settings.cutoff_text != nullptr &&
      !judge_positive(settings.cutoff_text, "cut-off", scale.length, &galaxy->radius_max)) {
    return false;
  }
  galaxy->centre_given = settings.centre_text != nullptr;
  if (galaxy->centre_given && !judge_vector(settings.centre_text, "centre", "X,Y,Z", galaxy->centre)) {
    return false;
  }
  galaxy->bulk_given = settings.bulk_velocity_text != nullptr;
  if (galaxy->bulk_given &&
      !judge_vector(settings.bulk_velocity_text, "bulk velocity", "VX,VY,VZ", galaxy->bulk_velocity)) {
    return false;
  }
  galaxy->zero_com = settings.zero_com;
  galaxy->cutoff_given = settings.cutoff_text != nullptr;
  return judge_profile(settings, scale, galaxy);
}

output_frame frame_of(const galaxy_parameters &galaxy, const double *mean_position,
                      const double *mean_velocity) {
  output_frame frame;
  frame.system = galaxy.units;
  frame.scale = scale_of(galaxy.units, galaxy.total_mass, galaxy.typical_length);
  frame.shifted = galaxy.centre_given || galaxy.bulk_given || mean_position != nullptr ||
                  mean_velocity != nullptr;
  for (int k = 0; k < 3; ++k) {
    frame.position_offset[k] = galaxy.centre[k];
    frame.velocity_offset[k] = galaxy.bulk_velocity[k];
    if (mean_position != nullptr) frame.position_offset[k] -= mean_position[k] / frame.scale.length;
    if (mean_velocity != nullptr) frame.velocity_offset[k] -= mean_velocity[k] / frame.scale.velocity;
  }
  return frame;
}

void add_record_sums(const gal_system *sys, bool weighted, exact_sum sums[7]) {
  const size_t n = sys->nb_element > 0 ? static_cast<size_t>(sys->nb_element) : 0;
  for (size_t i = 0; i < n; ++i) {
    const double m = weighted ? sys->mass[i] : 1.0;
    for (int k = 0; k < 3; ++k) {
      add_exact(&sums[k], weighted ? m * sys->pos[3 * i + k] : sys->pos[3 * i + k]);
      add_exact(&sums[3 + k], weighted ? m * sys->vel[3 * i + k] : sys->vel[3 * i + k]);
    }
    add_exact(&sums[6], m);
  }
}

void means_of_sums(const exact_sum sums[7], double mean_position[3], double mean_velocity[3]) {
  const double weight = exact_value(sums[6]);
  for (int k = 0; k < 3; ++k) {
    mean_position[k] = exact_value(sums[k]) / weight;
    mean_velocity[k] = exact_value(sums[3 + k]) / weight;
  }
}
void trimmed_centre(const gal_system *sys, double radius, bool weighted, reduce_centre_sums reduce, double centre[3]) {
  const size_t n = sys->nb_element > 0 ? static_cast<size_t>(sys->nb_element) : 0;
  double c[3] = {0.0, 0.0, 0.0};
  for (int iteration = 0; iteration < 100; ++iteration) {
    exact_sum sums[4];  // three components and the weight
    for (size_t i = 0; i < n; ++i) {
      const double *x = sys->pos + 3 * i;
      const double d[3] = {x[0] - c[0], x[1] - c[1], x[2] - c[2]};
      if (!(std::hypot(d[0], d[1], d[2]) < radius)) continue;
      const double m = weighted ? sys->mass[i] : 1.0;
      for (int k = 0; k < 3; ++k) add_exact(&sums[k], weighted ? m * x[k] : x[k]);
      add_exact(&sums[3], m);
    }
    if (reduce != nullptr) reduce(sums);
    const double weight = exact_value(sums[3]);
    if (!(weight > 0.0)) break;
    double next[3];
    for (int k = 0; k < 3; ++k) next[k] = exact_value(sums[k]) / weight;
    const bool same = next[0] == c[0] && next[1] == c[1] && next[2] == c[2];
    for (int k = 0; k < 3; ++k) c[k] = next[k];
    if (same) break;
  }
  for (int k = 0; k < 3; ++k) centre[k] = c[k];
}
