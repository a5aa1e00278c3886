#include "provenance.h"

#include "units.h"

provenance_field text_field(const std::string &name, const std::string &words) {
  provenance_field f;
  f.name = name;
  f.words = words;
  return f;
}

provenance_field real_field(const std::string &name, double value) {
  provenance_field f;
  f.kind = provenance_field::real;
  f.name = name;
  f.values[0] = value;
  return f;
}

provenance_field triple_field(const std::string &name, const double values[3]) {
  provenance_field f;
  f.kind = provenance_field::triple;
  f.name = name;
  for (int k = 0; k < 3; ++k) f.values[k] = values[k];
  return f;
}

std::vector<provenance_field> parameter_fields(const run_provenance &p) {
  const galaxy_parameters &m = p.galaxy;
  // An anisotropy radius in the file's units, as given.
  const std::string anisotropy =
      m.anisotropy_radius > 0.0
          ? std::to_string(m.anisotropy_radius * m.typical_length / scale_of(m.units, m.total_mass, m.typical_length).length)
          : "isotropic";
  provenance_field count;
  count.kind = provenance_field::number;
  count.name = "NumberOfParticles";
  count.count = p.count;
  provenance_field zero_com;
  zero_com.kind = provenance_field::flag;
  zero_com.name = "ZeroCentreOfMass";
  zero_com.set = m.zero_com;
  std::vector<provenance_field> fields = {count,
          text_field("Seed", p.seeded ? std::to_string(p.seed) : "none"),
          text_field("Law", p.galaxy.composite ? "galaxy" : law_name(p.law)),
          text_field("Profile", m.profile ? m.profile_name : "hernquist"),
          text_field("Anisotropy", anisotropy),
          real_field("CutoffStrength", m.law.taper_strength),
          real_field("TotalMass", m.total_mass),
          real_field("ScaleLength", m.typical_length),
          real_field("CutoffRadius", m.radius_max),
          text_field("Units", unit_system_name(m.units)),
          triple_field("Centre", m.centre),
          triple_field("BulkVelocity", m.bulk_velocity),
          zero_com,
          real_field("CentreRadius", m.centre_radius),
          text_field("Format", p.format)};
  fields.insert(fields.end(), p.extra.begin(), p.extra.end());
  return fields;
}

std::string command_line_of(int argc, char **argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) line += (i > 0 ? " " : "") + std::string(argv[i]);
  return line;
}

const char *law_name(particle_law law) {
  switch (law) {
    case law_defined: return "defined";
    case law_equilibrium: return "equilibrium";
    case law_profile: return "profile";
  }
  return "";
}

std::string provenance_line(const run_provenance &p) {
  std::string line = p.program + " " + p.version + " seed " + (p.seeded ? std::to_string(p.seed) : "none");
  line += std::string(" ") + (p.galaxy.composite ? "galaxy" : law_name(p.law)) + " ";
  // The program's own name is in front already.
  const size_t space = p.command_line.find(' ');
  if (space != std::string::npos) line += p.command_line.substr(space + 1);
  return line;
}
