#include "check_setup.h"

#include <cmath>
#include <cstdio>

namespace {

// A model's tables, built for a profile named by an option or by the file.
// The model points at profile; radius_max becomes the tables' top (the
// largest radius the generator draws).
std::string use_profile(const density_law &law, double anisotropy_radius, profile_model *profile,
                        check_model *model) {
  std::string why;
  if (!build_profile_model(law, anisotropy_radius, profile, &why)) return "the profile cannot be made: " + why;
  model->profile = profile;
  model->radius_max = std::exp(profile->log_r0 + profile->step * (profile->mass.size() - 1)) * model->typical_length;
  return std::string();
}

// The law the options leave: --profile replaces the density (keeping the
// file's taper, strength and anisotropy when it was a profile too),
// --equilibrium the law; a taper is the given cut-off or the file's
// profile's, none otherwise.
std::string choose_law(const model_choice &c, const model_base &base, const unit_scale &scale,
                       galaxy_parameters *g, bool *equilibrium) {
  const galaxy_parameters &b = base.galaxy;
  std::string why;
  if (!c.profile.empty()) {
    if (!parse_density_law(c.profile, &g->law, &why)) return why;
    if (b.profile) g->law.taper_strength = b.law.taper_strength;
    g->profile = true;
    g->profile_name = c.profile;
    *equilibrium = false;
  }
  if (c.equilibrium) {
    *equilibrium = true;
    g->profile = false;
  }
  if (!g->profile) {
    if (c.anisotropy_given || c.strength_given) {
      return "options --anisotropy-radius and --cutoff-strength need --profile, or a file made with one";
    }
    return std::string();
  }
  const double a = g->typical_length;
  const double taper = c.cutoff_given ? c.cutoff * scale.length : b.profile ? b.radius_max : 0.0;
  g->law.taper_radius = taper > 0.0 ? taper / a : 0.0;
  g->radius_max = taper;
  if (c.strength_given) g->law.taper_strength = c.strength;
  g->anisotropy_radius = c.anisotropy_given ? c.anisotropy * scale.length / a
                         : b.profile        ? b.anisotropy_radius * b.typical_length / a
                                            : 0.0;
  if (!density_law_is_proper(g->law, &why)) return "profile " + g->profile_name + " cannot be made: " + why;
  return std::string();
}

std::string vector_text(const double v[3], const char *unit) {
  char text[128];
  std::snprintf(text, sizeof text, "(%.6g, %.6g, %.6g) %s", v[0], v[1], v[2], unit);
  return text;
}

std::string number(const char *pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

}  // namespace

std::string choose_model(const model_choice &c, const model_base &base, chosen_model *chosen, check_model *model,
                         profile_model *profile) {
  galaxy_parameters &g = chosen->galaxy;
  g = base.galaxy;
  chosen->equilibrium = base.equilibrium;
  // Model units are the galaxy's own mass and length, which no option in
  // them can give: the base's.
  const unit_scale scale = scale_of(c.system, g.total_mass, g.typical_length);
  std::vector<std::string> &named = chosen->named;
  named.clear();
  const auto name = [&named](bool given, const char *option) {
    if (given) named.push_back(option);
    return given;
  };
  if (name(c.mass_given, "--mass")) g.total_mass = c.mass * scale.mass;
  if (name(c.scale_length_given, "--scale-length")) g.typical_length = c.scale_length * scale.length;
  // The defaults' cut-off is 8 a, of the scale length chosen; a stated one
  // stays what it was.
  if (name(c.cutoff_given, "--cutoff")) {
    g.radius_max = c.cutoff * scale.length;
  } else if (!base.stated || base.galaxy.profile || !(g.radius_max > 0.0)) {
    g.radius_max = 8.0 * g.typical_length;
  }
  for (int k = 0; k < 3; ++k) {
    if (c.centre_given) g.centre[k] = c.centre[k] * scale.length;
    if (c.bulk_given) g.bulk_velocity[k] = c.bulk_velocity[k] * scale.velocity;
  }
  name(c.centre_given, "--centre");
  name(c.bulk_given, "--bulk-velocity");
  if (name(c.zero_com, "--zero-com")) g.zero_com = true;
  name(c.equilibrium, "--equilibrium");
  name(!c.profile.empty(), "--profile");
  name(c.anisotropy_given, "--anisotropy-radius");
  name(c.strength_given, "--cutoff-strength");
  const std::string why = choose_law(c, base, scale, &g, &chosen->equilibrium);
  if (!why.empty()) return why;
  model->total_mass = g.total_mass;
  model->typical_length = g.typical_length;
  model->radius_max = g.radius_max;
  for (int k = 0; k < 3; ++k) {
    model->centre[k] = g.centre[k];
    model->bulk_velocity[k] = g.bulk_velocity[k];
  }
  model->equilibrium = chosen->equilibrium;
  model->zero_com = g.zero_com;
  model->profile = nullptr;
  for (double value : {model->total_mass, model->typical_length, g.profile ? 1.0 : model->radius_max}) {
    if (!std::isfinite(value) || !(value > 0.0)) return "a model value lies beyond the range of a double in SI units";
  }
  for (int k = 0; k < 3; ++k) {
    if (!std::isfinite(model->centre[k]) || !std::isfinite(model->bulk_velocity[k])) {
      return "a model value lies beyond the range of a double in SI units";
    }
  }
  return g.profile ? use_profile(g.law, g.anisotropy_radius, profile, model) : std::string();
}

std::vector<check_line> model_lines(const model_base &base, const chosen_model &chosen, const check_model &model,
                                    const std::string &units) {
  const galaxy_parameters &g = chosen.galaxy;
  std::string law = chosen.equilibrium ? "Hernquist, the equilibrium law" : "Hernquist, the defined law";
  std::string size = "M " + number("%.6g kg", g.total_mass) + ", a " + number("%.6g m", g.typical_length);
  if (g.profile) {
    law = "profile " + g.profile_name + (g.anisotropy_radius > 0.0 ? number(", Osipkov-Merritt r_a %.6g a", g.anisotropy_radius)
                                                                   : std::string(", isotropic"));
    size += g.law.taper_radius > 0.0 ? number(", taper at %.6g a", g.law.taper_radius) +
                                           number(" (strength %.6g)", g.law.taper_strength)
                                     : std::string(", no taper");
  } else {
    size += ", cut-off " + number("%.6g m", model.radius_max);
  }
  std::string frame = "centre " + vector_text(model.centre, "m") + ", motion " + vector_text(model.bulk_velocity, "m/s");
  if (model.zero_com) frame += ", zero-com";
  std::string from;
  for (const std::string &option : chosen.named) from += (from.empty() ? "" : ", ") + option;
  const std::string rest = base.stated ? base.source : "the defaults (" + base.source + ")";
  from = from.empty() ? rest : from + "; the rest " + rest;
  return {{"model", law, verdict_info},
          {"model size", size, verdict_info},
          {"model frame", frame, verdict_info},
          {"model from", from, verdict_info},
          {"units", units, verdict_info}};
}
