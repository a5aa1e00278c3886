#include "units.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

struct unit_entry {
  const char *name;
  unit_system system;
  unit_symbols symbols;
};

const unit_entry entries[] = {
    {"si", units_si, {"m", "kg", "m/s"}},
    {"cgs", units_cgs, {"cm", "g", "cm/s"}},
    {"astro", units_astro, {"kpc", "Msun", "km/s"}},
    {"gadget", units_gadget, {"kpc", "1e10 Msun", "km/s"}},
    {"model", units_model, {"a", "M", "sqrt(G M / a)"}},
};

}  // namespace

bool parse_unit_system(const char *text, unit_system *system) {
  for (const unit_entry &entry : entries) {
    if (std::strcmp(text, entry.name) == 0) {
      *system = entry.system;
      return true;
    }
  }
  return false;
}

const char *unit_system_name(unit_system system) { return entries[system].name; }

unit_symbols symbols_of(unit_system system) { return entries[system].symbols; }

unit_scale scale_of(unit_system system, double total_mass, double scale_length) {
  unit_scale scale;
  switch (system) {
    case units_si:
      break;
    case units_cgs:
      scale.length = 0.01;
      scale.mass = 0.001;
      scale.velocity = 0.01;
      break;
    case units_astro:
    case units_gadget:
      scale.length = kiloparsec;
      // 1e10 Msun as one literal: the product 1e10 * 1.98841e30 is rounded twice.
      scale.mass = system == units_astro ? solar_mass : 1.98841e40;
      scale.velocity = 1000.0;
      break;
    case units_model:
      scale.length = scale_length;
      scale.mass = total_mass;
      scale.velocity = std::sqrt(gravitational_constant * total_mass / scale_length);
      break;
  }
  scale.time = scale.length / scale.velocity;
  return scale;
}

double box_size(double radius_max, const output_frame &frame) {
  double reach = radius_max / frame.scale.length;
  if (frame.shifted) {
    double farthest = 0.0;
    for (double offset : frame.position_offset) farthest = std::max(farthest, std::fabs(offset));
    reach += farthest;
  }
  return 2.0 * reach;
}

bool is_identity_frame(const output_frame &frame) {
  return frame.system == units_si && !frame.shifted;
}

void convert_triples(const double *si, size_t n, double unit, bool shifted, const double offset[3],
                     double *out) {
  // Division, not multiplication by 1 / unit: the reciprocal is rounded
  // first and would move the last bit.
  if (shifted) {
    for (size_t i = 0; i < n; ++i) {
      for (int k = 0; k < 3; ++k) out[3 * i + k] = si[3 * i + k] / unit + offset[k];
    }
  } else {
    for (size_t i = 0; i < 3 * n; ++i) out[i] = si[i] / unit;
  }
}

void written_positions(const output_frame &frame, const double *record, size_t n, double *out) {
  if (frame.values_converted) {
    std::copy(record, record + 3 * n, out);
  } else {
    convert_triples(record, n, frame.scale.length, frame.shifted, frame.position_offset, out);
  }
}

void written_velocities(const output_frame &frame, const double *record, size_t n, double *out) {
  if (frame.values_converted) {
    std::copy(record, record + 3 * n, out);
  } else {
    convert_triples(record, n, frame.scale.velocity, frame.shifted, frame.velocity_offset, out);
  }
}

output_frame convert_record(gal_system *sys, const output_frame &frame) {
  output_frame converted = frame;
  converted.values_converted = true;
  if (frame.values_converted || sys->nb_element <= 0 || is_identity_frame(frame)) return converted;
  const size_t n = static_cast<size_t>(sys->nb_element);
  written_positions(frame, sys->pos, n, sys->pos);
  written_velocities(frame, sys->vel, n, sys->vel);
  for (size_t i = 0; i < n; ++i) sys->mass[i] = sys->mass[i] / frame.scale.mass;
  return converted;
}

bool parse_vector3(const char *text, double out[3]) {
  const char *p = text;
  for (int k = 0; k < 3; ++k) {
    char *end = nullptr;
    errno = 0;
    out[k] = std::strtod(p, &end);
    if (end == p || errno != 0 || !std::isfinite(out[k])) return false;
    if (*end != (k < 2 ? ',' : '\0')) return false;
    p = end + 1;
  }
  return true;
}
