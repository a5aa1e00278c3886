#include "galaxy_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "error_report.h"

galaxy_description profile_description(const galaxy_parameters &galaxy, int64_t count) {
  galaxy_description d;
  d.units = galaxy.units;
  d.zero_com = galaxy.zero_com;
  component_description c;
  c.name = "galaxy";
  c.role = role_halo;
  c.profile = galaxy.profile_name;
  c.law = galaxy.law;
  c.mass = galaxy.total_mass;
  c.scale_length = galaxy.typical_length;
  c.cutoff = galaxy.law.taper_radius * galaxy.typical_length;
  c.cutoff_strength = galaxy.law.taper_strength;
  c.anisotropy_radius = galaxy.anisotropy_radius * galaxy.typical_length;
  c.particles = std::max<int64_t>(count, 0);
  c.type = 1;
  d.components.push_back(c);
  return d;
}

bool count_components(const galaxy_description &galaxy, std::vector<int64_t> *counts, std::string *why) {
  const std::vector<component_description> &parts = galaxy.components;
  counts->assign(parts.size(), 0);
  // Components without a count of their own share the galaxy's count in
  // proportion to their masses (so their particles weigh the same), the
  // rounding going to the largest remainders.
  double shared_mass = 0.0;
  int64_t own = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].particles > 0) {
      (*counts)[i] = parts[i].particles;
      own += parts[i].particles;
    } else if (galaxy.particle_mass > 0.0) {
      const double n = std::round(parts[i].mass / galaxy.particle_mass);
      if (!(n >= 1.0 && n < 2e9)) {
        *why = "component " + parts[i].name + " would have " + (n < 1.0 ? "no particle" : "too many particles") +
               " of the galaxy's particle mass";
        return false;
      }
      (*counts)[i] = static_cast<int64_t>(n);
    } else if (galaxy.particles > 0) {
      shared_mass += parts[i].mass;
    } else {
      *why = "component " + parts[i].name + " has no particle count: give it particles, or the galaxy particles "
             "or particle_mass";
      return false;
    }
  }
  if (shared_mass > 0.0) {
    const int64_t left = galaxy.particles - own;
    std::vector<std::pair<double, size_t>> remainders;
    int64_t given = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
      if (parts[i].particles > 0 || galaxy.particle_mass > 0.0) continue;
      const double share = static_cast<double>(std::max<int64_t>(left, 0)) * parts[i].mass / shared_mass;
      (*counts)[i] = static_cast<int64_t>(std::floor(share));
      given += (*counts)[i];
      remainders.push_back({share - std::floor(share), i});
    }
    std::stable_sort(remainders.begin(), remainders.end(), [](const auto &x, const auto &y) { return x.first > y.first; });
    for (size_t k = 0; k < remainders.size() && given < left; ++k, ++given) ++(*counts)[remainders[k].second];
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    if ((*counts)[i] < 1) {
      *why = "component " + parts[i].name + " has no particles: give the galaxy more, or the component its own count";
      return false;
    }
  }
  return true;
}

galaxy_parameters parameters_of(const galaxy_description &galaxy) {
  galaxy_parameters p;
  p.units = galaxy.units;
  p.centre_given = galaxy.centre_given, p.bulk_given = galaxy.bulk_given, p.zero_com = galaxy.zero_com;
  for (int k = 0; k < 3; ++k) p.centre[k] = galaxy.centre[k], p.bulk_velocity[k] = galaxy.bulk_velocity[k];
  double mass = galaxy.black_hole_mass;
  for (const component_description &c : galaxy.components) mass += c.mass;
  p.total_mass = mass;
  p.typical_length = galaxy.components.empty() ? default_typical_length : galaxy.components[0].scale_length;
  p.profile = true;
  const component_description &first = galaxy.components.front();
  p.composite = galaxy.components.size() > 1 || galaxy.black_hole_mass > 0.0 || first.role == role_disc;
  p.profile_name = p.composite ? "galaxy" : first.profile;
  p.law = first.law;
  p.anisotropy_radius = first.anisotropy_radius / p.typical_length;
  p.cutoff_given = first.cutoff > 0.0;
  p.radius_max = first.cutoff;
  return p;
}

namespace {

// What a refused component could do instead, from why it was refused.
std::string what_would_work(const galaxy_description &galaxy, const component_description &c, const std::string &why) {
  if (why.find("negative") == std::string::npos || !(galaxy.black_hole_mass > 0.0)) return std::string();
  if (c.law.gamma < 0.5) {
    return "; a core (gamma " + std::to_string(c.law.gamma).substr(0, 4) +
           " < 1/2) has no equilibrium around a black hole of any mass: give it a cusp of gamma >= 1/2, or no "
           "black hole";
  }
  return "; a smaller black hole, a steeper cusp or a larger anisotropy radius may work";
}

void report_refusal(const galaxy_description &galaxy, int failed, const std::string &why) {
  const bool lone = galaxy.components.size() == 1 && !(galaxy.black_hole_mass > 0.0) && galaxy.path.empty();
  if (lone) {
    report_error("erreur: profile %s cannot be made: %s", galaxy.components[0].profile.c_str(), why.c_str());
    return;
  }
  const std::string where = galaxy.path.empty() ? "galaxy" : "galaxy " + galaxy.path;
  if (failed < 0) {
    report_error("erreur: %s cannot be made: %s", where.c_str(), why.c_str());
    return;
  }
  const component_description &c = galaxy.components[static_cast<size_t>(failed)];
  report_error("erreur: %s: component %s (profile %s) cannot be made in the joint potential: %s%s", where.c_str(),
               c.name.c_str(), c.profile.c_str(), why.c_str(), what_would_work(galaxy, c, why).c_str());
}

// The file's groups: each component as its type (the roles' by default),
// then the black hole; dark are the haloes.
bool group_components(const galaxy_description &d, const std::vector<int64_t> &counts, particle_groups *groups,
                      std::string *why) {
  groups->groups.clear();
  uint64_t next = 0;
  for (size_t i = 0; i < d.components.size(); ++i) {
    const component_description &c = d.components[i];
    particle_group g;
    g.name = c.name;
    g.type = c.type > 0 ? c.type : default_particle_type(c.role);
    g.dark = c.role == role_halo;
    g.first = next;
    g.count = static_cast<uint64_t>(counts[i]);
    g.mass = c.mass / static_cast<double>(counts[i]);
    groups->groups.push_back(g);
    next += g.count;
  }
  if (d.black_hole_mass > 0.0) {
    particle_group g;
    g.name = "black hole";
    g.type = black_hole_particle_type;
    g.dark = false;
    g.first = next;
    g.count = 1;
    g.mass = d.black_hole_mass;
    groups->groups.push_back(g);
    ++next;
  }
  return groups_are_ordered(*groups, next, why);
}

}  // namespace

std::vector<component_law> component_laws(const galaxy_description &description, const galaxy_parameters &galaxy) {
  std::vector<component_law> laws;
  for (const component_description &c : description.components) {
    component_law law;
    law.law = c.law;
    law.mass = c.mass / galaxy.total_mass;
    law.scale = c.scale_length / galaxy.typical_length;
    law.anisotropy_radius = c.anisotropy_radius / galaxy.typical_length;
    laws.push_back(law);
  }
  return laws;
}

bool build_discs(const galaxy_description &description, const galaxy_parameters &galaxy,
                 std::vector<component_law> *laws, int *failed, std::string *why) {
  const double L = galaxy.typical_length;
  for (size_t i = 0; i < description.components.size(); ++i) {
    const component_description &c = description.components[i];
    if (c.role != role_disc) continue;
    disc_law law;
    law.mass = c.mass / galaxy.total_mass;
    law.scale_length = c.scale_length / L, law.scale_height = c.scale_height / L;
    law.vertical = c.vertical;
    law.truncation = c.truncation / L, law.truncation_width = c.truncation_width / L;
    law.toomre_q = c.toomre_q, law.q_radius = c.q_radius / L;
    auto model = std::make_shared<disc_model>();
    if (!build_disc_model(law, model.get(), why)) {
      *failed = static_cast<int>(i);
      return false;
    }
    (*laws)[i].disc = std::move(model);
  }
  return true;
}

double centre_radius_of(const std::vector<profile_model> &models, double length_unit) {
  bool diverges = false;
  for (const profile_model &m : models) diverges = diverges || (!m.disc && mean_square_radius_diverges(m.law));
  if (!diverges) return 0.0;
  double whole = 0.0;
  for (const profile_model &m : models) whole += m.mass.back();
  double lo = std::log(1e-30), hi = std::log(1e30);
  for (int k = 0; k < 200; ++k) {
    const double mid = 0.5 * (lo + hi);
    double inside = 0.0;
    for (const profile_model &m : models) inside += profile_enclosed_mass(m, std::exp(mid));
    (inside < 0.9 * whole ? lo : hi) = mid;
  }
  return std::exp(0.5 * (lo + hi)) * length_unit;
}

namespace {

// Beside a disc, each isotropic spheroid's velocities are stretched to the
// flattened potential (an anisotropic one keeps its spherical function's).
void stretch_spheroids(double black_hole, generation_plan *plan, galaxy_tables *tables) {
  std::vector<const disc_sampler *> discs;
  for (const auto &d : tables->discs) {
    if (d) discs.push_back(d.get());
  }
  tables->flattening.reset();
  tables->stretches.clear();
  if (discs.empty()) return;
  tables->flattening = std::make_unique<flattening_forces>();
  build_flattening_forces(tables->models, discs, black_hole, tables->flattening.get());
  for (size_t i = 0; i < tables->models.size(); ++i) {
    const profile_model &m = tables->models[i];
    tables->stretches.emplace_back();
    if (m.disc || m.anisotropy_radius > 0.0) continue;
    tables->stretches.back() = std::make_unique<spheroid_flattening>();
    build_spheroid_flattening(*tables->flattening, m, tables->stretches.back().get());
    plan->components[i].flattening = tables->stretches.back().get();
  }
}

}  // namespace

bool prepare_galaxy(const galaxy_description &description, const galaxy_parameters &galaxy,
                    const std::vector<int64_t> &counts, generation_plan *plan, galaxy_tables *tables,
                    double *radius_max, const std::atomic<bool> *cancel) {
  const double mass_unit = galaxy.total_mass, length_unit = galaxy.typical_length;
  std::vector<component_law> laws = component_laws(description, galaxy);
  std::string why;
  if (!group_components(description, counts, &tables->groups, &why)) {
    report_error("erreur: galaxy %s cannot be written: %s", description.path.c_str(), why.c_str());
    return false;
  }
  int failed = -1;
  if (!build_discs(description, galaxy, &laws, &failed, &why) ||
      !build_galaxy_model(laws, description.black_hole_mass / mass_unit, &tables->models, &failed, &why, cancel)) {
    if (cancel == nullptr || !cancel->load()) report_refusal(description, failed, why);
    return false;
  }
  tables->counts = counts;
  tables->samplers.clear();
  tables->discs.clear();
  plan->law = law_profile;
  plan->components.clear();
  double top = 0.0;
  for (size_t i = 0; i < tables->models.size(); ++i) {
    const profile_model &m = tables->models[i];
    const particle_group &g = tables->groups.groups[i];
    tables->samplers.emplace_back();
    tables->discs.emplace_back();
    if (m.disc) {
      tables->discs.back() = std::make_unique<disc_sampler>();
      if (!build_disc_sampler(m, tables->discs.back().get(), &why)) {
        report_refusal(description, static_cast<int>(i), why);
        return false;
      }
      plan->components.push_back({g.first, g.count, nullptr, g.mass, tables->discs.back().get()});
      top = std::max(top, std::hypot(m.disc->law.truncation, 40.0 * m.disc->law.scale_height));
      continue;
    }
    tables->samplers.back() = std::make_unique<profile_sampler>();
    build_profile_sampler(m, tables->samplers.back().get());
    plan->components.push_back({g.first, g.count, tables->samplers.back().get(), g.mass});
    top = std::max(top, tables->samplers.back()->node_r.back());
  }
  stretch_spheroids(description.black_hole_mass / mass_unit, plan, tables);
  if (description.black_hole_mass > 0.0) {
    const particle_group &g = tables->groups.groups.back();
    plan->components.push_back({g.first, 1, nullptr, g.mass});
    tables->counts.push_back(1);
  }
  plan->sampler = nullptr;  // the components' own
  // The record's cut-off is the largest radius drawn (the tables' top).
  *radius_max = top * length_unit;
  return true;
}

std::string galaxy_text_as_made(const std::string &text, int64_t particles, bool seeded, uint64_t seed,
                                const char *from) {
  // Top-level keys stand before the first table header.
  std::string head, rest;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find('\n', at), text.size());
    const std::string line = text.substr(at, end - at);
    const size_t first = line.find_first_not_of(" \t");
    if (first != std::string::npos && line[first] == '[') {
      rest = text.substr(at);
      break;
    }
    const auto is_key = [&](const char *key) {
      const size_t n = std::strlen(key);
      return first != std::string::npos && line.compare(first, n, key) == 0 &&
             line.find_first_not_of(" \t", first + n) != std::string::npos &&
             line[line.find_first_not_of(" \t", first + n)] == '=';
    };
    const bool replaced = (particles >= 0 && (is_key("particles") || is_key("particle_mass"))) || (seeded && is_key("seed"));
    head += (replaced ? "# " : "") + line + "\n";
    at = end + 1;
  }
  std::string given;
  if (particles >= 0) given += "particles = " + std::to_string(particles) + "  # from " + from + "\n";
  if (seeded) given += "seed = \"" + std::to_string(seed) + "\"  # from " + from + "\n";
  return given + head + rest;
}
