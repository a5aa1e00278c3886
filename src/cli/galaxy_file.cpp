#include "galaxy_file.h"

#include <toml++/toml.h>

#include <cmath>
#include <fstream>
#include <set>

#include "galaxy_parameters.h"

namespace {

bool read_text(const std::string &path, std::string *out, std::string *why);

// Plain decimal digits, 0 to 2^64 - 1, nothing else.
bool parse_decimal_seed(const std::string &text, uint64_t *seed) {
  if (text.empty() || text.size() > 20) return false;
  unsigned long long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const unsigned long long digit = static_cast<unsigned long long>(c - '0');
    if (value > (~0ULL - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *seed = value;
  return true;
}

// A refusal at a node of the file: "FILE:LINE: key K: reason".
struct refusal {
  std::string text;
};

[[noreturn]] void refuse(const std::string &path, const toml::node &node, const std::string &key,
                         const std::string &reason) {
  throw refusal{path + ":" + std::to_string(node.source().begin.line) + ": key " + key + ": " + reason};
}

// A name a report's line can hold: no control character (a newline would
// forge a line of its own).
bool printable(const std::string &name) {
  for (const unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

// The reading of one file: its name, units and what each table holds.
struct reader {
  std::string path;
  unit_system units = units_si;
  unit_scale scale;
  std::string prefix;  // of every key named: an encounter's galaxy's "galaxy[k]."
  // An encounter's galaxies' own files, as a particle file stores them
  // (empty: not stored), read instead of the files named.
  const std::vector<std::string> *member_texts = nullptr;

  // Every key of table among allowed, or the first other refused.
  void only(const toml::table &table, std::initializer_list<const char *> allowed, const std::string &where) const {
    for (const auto &[key, node] : table) {
      bool known = false;
      for (const char *name : allowed) known = known || key.str() == name;
      if (!known) refuse(path, node, where + std::string(key.str()), "is not a key of a galaxy file here");
    }
  }

  // A finite number (an integer too) above 0.
  double positive(const toml::node &node, const std::string &key) const {
    const std::optional<double> value = node.value<double>();
    if (!node.is_number() || !value) refuse(path, node, key, "needs a number");
    if (!std::isfinite(*value) || !(*value > 0.0)) refuse(path, node, key, "needs a finite number above 0");
    return *value;
  }

  int64_t count(const toml::node &node, const std::string &key, int64_t least) const {
    if (!node.is_integer()) refuse(path, node, key, "needs a whole number");
    const int64_t value = *node.value<int64_t>();
    if (value < least) refuse(path, node, key, "needs a whole number of at least " + std::to_string(least));
    return value;
  }

  std::string text(const toml::node &node, const std::string &key) const {
    if (!node.is_string()) refuse(path, node, key, "needs a string");
    return *node.value<std::string>();
  }

  uint64_t seed_of(const toml::node &node, const std::string &key) const {
    uint64_t seed = 0;
    if (node.is_integer()) {
      seed = static_cast<uint64_t>(count(node, key, 0));
    } else if (!node.is_string() || !parse_decimal_seed(*node.value<std::string>(), &seed)) {
      refuse(path, node, key, "needs a whole number from 0 to 18446744073709551615 (as a string above 2^63)");
    }
    return seed;
  }

  bool flag(const toml::node &node, const std::string &key) const {
    if (!node.is_boolean()) refuse(path, node, key, "needs true or false");
    return *node.value<bool>();
  }

  // Three finite numbers, in units of unit.
  void vector3(const toml::node &node, const std::string &key, double out[3]) const {
    const toml::array *array = node.as_array();
    if (array == nullptr || array->size() != 3) refuse(path, node, key, "needs three numbers [x, y, z]");
    for (size_t k = 0; k < 3; ++k) {
      const toml::node &item = *array->get(k);
      const std::optional<double> value = item.value<double>();
      if (!item.is_number() || !value || !std::isfinite(*value)) refuse(path, item, key, "needs three finite numbers");
      out[k] = *value;
    }
  }

  // A finite number (in degrees) from lo to hi.
  double angle(const toml::node &node, const std::string &key, double lo, double hi) const {
    const std::optional<double> value = node.value<double>();
    if (!node.is_number() || !value || !std::isfinite(*value)) refuse(path, node, key, "needs a finite number of degrees");
    if (*value < lo || *value > hi) {
      refuse(path, node, key, "needs degrees from " + std::to_string(static_cast<int>(lo)) + " to " +
                                  std::to_string(static_cast<int>(hi)));
    }
    return *value * (3.14159265358979323846 / 180.0);
  }

  void top_level(const toml::table &root, galaxy_description *galaxy) const;
  void encounter(const toml::table &root, encounter_description *e) const;
  void member(const toml::table &table, size_t k, bool seeded, uint64_t seed, encounter_description *e) const;
  void orbit(const toml::table &root, encounter_description *e) const;
  void galaxy_keys(const toml::table &root, galaxy_description *galaxy) const;
  void component(const toml::table &table, size_t index, galaxy_description *galaxy) const;
  void disc(const toml::table &table, const std::string &where, component_description *c) const;
};

component_role parse_role(const reader &r, const toml::node &node, const std::string &key) {
  const std::string name = r.text(node, key);
  if (name == "halo") return role_halo;
  if (name == "bulge") return role_bulge;
  if (name == "stars") return role_stars;
  if (name == "disc") return role_disc;
  refuse(r.path, node, key, "needs halo, bulge, stars or disc, not \"" + name + "\"");
}

// A disc's own keys, its geometry judged here (its kinematics need the
// joint potential).
void reader::disc(const toml::table &table, const std::string &where, component_description *c) const {
  only(table, {"name", "role", "mass", "scale_length", "scale_height", "vertical", "truncation", "truncation_width",
               "toomre_q", "q_radius", "particles", "type"},
       where);
  c->profile = "disc";
  const toml::node *height = table.get("scale_height");
  if (height == nullptr) refuse(path, table, where + "scale_height", "is missing");
  c->scale_height = positive(*height, where + "scale_height") * scale.length;
  if (const toml::node *n = table.get("vertical")) {
    const std::string v = text(*n, where + "vertical");
    if (v != "sech2" && v != "exponential") refuse(path, *n, where + "vertical", "needs sech2 or exponential, not \"" + v + "\"");
    c->vertical = v == "sech2" ? vertical_sech2 : vertical_exponential;
  }
  const auto length = [&](const char *key, double fallback) {
    const toml::node *n = table.get(key);
    return n != nullptr ? positive(*n, where + key) * scale.length : fallback;
  };
  const double a = c->scale_length;
  c->truncation = length("truncation", 10.0 * a);
  c->truncation_width = length("truncation_width", std::min(2.0 * a, 0.5 * c->truncation));
  c->q_radius = length("q_radius", 2.4 * a);
  if (const toml::node *n = table.get("toomre_q")) c->toomre_q = positive(*n, where + "toomre_q");
  if (!(c->scale_height < a)) refuse(path, *height, where + "scale_height", "needs to be below scale_length: a disc is flat");
  if (!(c->truncation_width < c->truncation)) {
    refuse(path, table.get("truncation_width") ? *table.get("truncation_width") : table, where + "truncation_width",
           "needs to be below the truncation radius");
  }
  if (!(c->q_radius < c->truncation - c->truncation_width)) {
    refuse(path, table.get("q_radius") ? *table.get("q_radius") : table, where + "q_radius",
           "needs to lie inside the truncation's edge (truncation - truncation_width)");
  }
}

void reader::component(const toml::table &table, size_t index, galaxy_description *galaxy) const {
  const std::string where = prefix + "component[" + std::to_string(index) + "].";
  const toml::node *role = table.get("role");
  if (role == nullptr) refuse(path, table, where + "role", "is missing: halo, bulge, stars or disc");
  const component_role the_role = parse_role(*this, *role, where + "role");
  if (the_role != role_disc) {
    only(table, {"name", "role", "profile", "mass", "scale_length", "cutoff", "cutoff_strength", "anisotropy_radius",
                 "particles", "type"},
         where);
  }
  component_description c;
  c.role = the_role;
  c.line = static_cast<int>(table.source().begin.line);
  c.name = "component " + std::to_string(index + 1);
  const bool model = units == units_model;
  if (const toml::node *n = table.get("name")) {
    c.name = text(*n, where + "name");
    if (c.name.empty()) refuse(path, *n, where + "name", "needs a name that is not empty");
    if (!printable(c.name)) refuse(path, *n, where + "name", "holds a control character, which reports cannot show");
    for (const component_description &other : galaxy->components) {
      if (other.name == c.name) refuse(path, *n, where + "name", "\"" + c.name + "\" names another component too");
    }
  }
  const toml::node *profile = table.get("profile");
  if (c.role != role_disc) {
    if (profile == nullptr) refuse(path, table, where + "profile", "is missing: a --profile name, such as nfw");
    c.profile = text(*profile, where + "profile");
    std::string why;
    if (!parse_density_law(c.profile, &c.law, &why)) refuse(path, *profile, where + "profile", why);
  }
  // In model units the galaxy's mass is 1 and a lone component's scale too.
  const toml::node *mass = table.get("mass");
  if (mass == nullptr && !(model && index == 0 && galaxy->components.empty())) {
    refuse(path, table, where + "mass", "is missing");
  }
  c.mass = mass != nullptr ? positive(*mass, where + "mass") * scale.mass : scale.mass;
  const toml::node *size = table.get("scale_length");
  if (size == nullptr && !model) refuse(path, table, where + "scale_length", "is missing");
  c.scale_length = size != nullptr ? positive(*size, where + "scale_length") * scale.length : scale.length;
  if (c.role == role_disc) disc(table, where, &c);
  if (const toml::node *n = table.get("cutoff")) c.cutoff = positive(*n, where + "cutoff") * scale.length;
  if (const toml::node *n = table.get("cutoff_strength")) c.cutoff_strength = positive(*n, where + "cutoff_strength");
  if (const toml::node *n = table.get("anisotropy_radius")) {
    c.anisotropy_radius = positive(*n, where + "anisotropy_radius") * scale.length;
  }
  if (const toml::node *n = table.get("particles")) c.particles = count(*n, where + "particles", 1);
  if (const toml::node *n = table.get("type")) {
    c.type = static_cast<int>(count(*n, where + "type", 1));
    if (c.type > 5) refuse(path, *n, where + "type", "needs a particle type from 1 to 5 (0 is gas, not made here)");
  }
  c.law.taper_radius = c.cutoff > 0.0 ? c.cutoff / c.scale_length : 0.0;
  c.law.taper_strength = c.cutoff_strength;
  for (const double value : {c.mass, c.scale_length, c.cutoff, c.anisotropy_radius, c.scale_height, c.truncation,
                             c.truncation_width, c.q_radius}) {
    if (!std::isfinite(value)) refuse(path, table, where + "mass", "a value leaves the range of a double in SI units");
  }
  galaxy->components.push_back(c);
}

void reader::top_level(const toml::table &root, galaxy_description *galaxy) const {
  if (const toml::node *n = root.get("galaxy")) {
    refuse(path, *n, "galaxy", "[[galaxy]] tables describe an encounter of two galaxies, and one galaxy's file is "
           "read here");
  }
  only(root, {"units", "seed", "particles", "particle_mass", "centre", "bulk_velocity", "zero_com", "component",
              "black_hole"},
       "");
  if (const toml::node *n = root.get("seed")) {
    galaxy->seed = seed_of(*n, "seed");
    galaxy->seeded = true;
  }
  if (const toml::node *n = root.get("centre")) {
    vector3(*n, "centre", galaxy->centre);
    galaxy->centre_given = true;
  }
  if (const toml::node *n = root.get("bulk_velocity")) {
    vector3(*n, "bulk_velocity", galaxy->bulk_velocity);
    galaxy->bulk_given = true;
  }
  galaxy_keys(root, galaxy);
}

// What describes a galaxy itself, at the top of its file or in an
// encounter's [[galaxy]] table.
void reader::galaxy_keys(const toml::table &root, galaxy_description *galaxy) const {
  const std::string &p = prefix;
  if (const toml::node *n = root.get("particles")) galaxy->particles = count(*n, p + "particles", 1);
  if (const toml::node *n = root.get("particle_mass")) galaxy->particle_mass = positive(*n, p + "particle_mass") * scale.mass;
  if (const toml::node *n = root.get("zero_com")) galaxy->zero_com = flag(*n, p + "zero_com");
  const toml::node *components = root.get("component");
  const toml::array *list = components != nullptr ? components->as_array() : nullptr;
  if (components == nullptr) refuse(path, root, p + "component", "is missing: a galaxy needs a [[component]]");
  if (list == nullptr || !list->is_array_of_tables() || list->empty()) {
    refuse(path, *components, p + "component", "needs [[component]] tables");
  }
  for (size_t i = 0; i < list->size(); ++i) component(*list->get(i)->as_table(), i, galaxy);
  if (const toml::node *n = root.get("black_hole")) {
    const toml::table *hole = n->as_table();
    if (hole == nullptr) refuse(path, *n, p + "black_hole", "needs a [black_hole] table");
    only(*hole, {"mass"}, p + "black_hole.");
    const toml::node *mass = hole->get("mass");
    if (mass == nullptr) refuse(path, *hole, p + "black_hole.mass", "is missing");
    galaxy->black_hole_mass = positive(*mass, p + "black_hole.mass") * scale.mass;
  }
}


// A galaxy of an encounter: its own file's (named relative to this one) or
// its components here, with its spin and seed.
void reader::member(const toml::table &table, size_t k, bool seeded, uint64_t seed, encounter_description *e) const {
  const std::string where = "galaxy[" + std::to_string(k) + "].";
  const toml::node *file = table.get("file");
  if (file != nullptr) {
    for (const char *key : {"component", "black_hole", "particles", "particle_mass", "zero_com"}) {
      if (const toml::node *n = table.get(key)) {
        refuse(path, *n, where + key, "has no place beside file: a galaxy is described by its file or here, not both");
      }
    }
    only(table, {"name", "file", "spin_theta", "spin_phi", "seed"}, where);
  } else {
    only(table, {"name", "spin_theta", "spin_phi", "seed", "particles", "particle_mass", "zero_com", "component",
                 "black_hole"},
         where);
  }
  encounter_member m;
  m.line = static_cast<int>(table.source().begin.line);
  m.name = "galaxy " + std::to_string(k + 1);
  if (const toml::node *n = table.get("name")) {
    m.name = text(*n, where + "name");
    if (m.name.empty()) refuse(path, *n, where + "name", "needs a name that is not empty");
    if (!printable(m.name)) refuse(path, *n, where + "name", "holds a control character, which reports cannot show");
    for (const encounter_member &other : e->members) {
      if (other.name == m.name) refuse(path, *n, where + "name", "\"" + m.name + "\" names another galaxy too");
    }
  }
  if (const toml::node *n = table.get("spin_theta")) m.spin_theta = angle(*n, where + "spin_theta", 0.0, 180.0);
  if (const toml::node *n = table.get("spin_phi")) m.spin_phi = angle(*n, where + "spin_phi", -360.0, 360.0);
  // Without a seed here or in the file, --seed gives it (the run judges).
  const toml::node *own_seed = table.get("seed");
  m.seed = own_seed != nullptr ? seed_of(*own_seed, where + "seed") : seeded ? seed + k : 0;
  m.own_seed = own_seed != nullptr;
  if (file != nullptr) {
    m.file = text(*file, where + "file");
    const size_t slash = path.rfind('/');
    const std::string named = m.file.empty() || m.file[0] == '/' || slash == std::string::npos
                                  ? m.file
                                  : path.substr(0, slash + 1) + m.file;
    std::string own, why;
    if (member_texts != nullptr) {
      if (k >= member_texts->size() || (*member_texts)[k].empty()) {
        refuse(path, *file, where + "file", named + " is not stored with the particles (a galaxy file above 60000 "
               "bytes is not): name the encounter's file with --galaxy");
      }
      own = (*member_texts)[k];
    } else if (!read_text(named, &own, &why)) {
      refuse(path, *file, where + "file", why);
    }
    if (names_an_encounter(own)) refuse(path, *file, where + "file", named + " holds [[galaxy]] tables itself: a "
                                        "galaxy of an encounter is one galaxy");
    if (!parse_galaxy_text(own, named, &m.galaxy, &why)) throw refusal{why};
    if (m.galaxy.centre_given || m.galaxy.bulk_given) {
      refuse(path, *file, where + "file", named + " sets a centre or bulk_velocity: in an encounter the orbit "
             "places each galaxy");
    }
  } else {
    reader inside = *this;
    inside.prefix = where;
    m.galaxy.units = units;
    m.galaxy.path = path;
    inside.galaxy_keys(table, &m.galaxy);
  }
  m.galaxy.seeded = true;
  m.galaxy.seed = m.seed;
  e->members.push_back(std::move(m));
}

void reader::orbit(const toml::table &root, encounter_description *e) const {
  const toml::node *node = root.get("orbit");
  if (node == nullptr) refuse(path, root, "orbit", "is missing: an [orbit] with pericentre, eccentricity and separation");
  const toml::table *o = node->as_table();
  if (o == nullptr) refuse(path, *node, "orbit", "needs an [orbit] table");
  only(*o, {"pericentre", "eccentricity", "separation"}, "orbit.");
  encounter_orbit in_units;
  for (const auto &[key, out] : {std::pair<const char *, double *>{"pericentre", &in_units.pericentre},
                                 std::pair<const char *, double *>{"separation", &in_units.separation}}) {
    const toml::node *n = o->get(key);
    if (n == nullptr) refuse(path, *o, std::string("orbit.") + key, "is missing");
    *out = positive(*n, std::string("orbit.") + key);
  }
  if (const toml::node *n = o->get("eccentricity")) {
    const std::optional<double> value = n->value<double>();
    if (!n->is_number() || !value || !std::isfinite(*value) || *value < 0.0) {
      refuse(path, *n, "orbit.eccentricity", "needs a finite number of 0 or more (1 parabolic, below 1 bound)");
    }
    in_units.eccentricity = *value;
  }
  std::string why;
  const toml::node &separation = *o->get("separation");
  if (!judge_orbit(in_units, &why)) refuse(path, separation, "orbit.separation", why);
  e->orbit = in_units;
  e->orbit.pericentre *= scale.length, e->orbit.separation *= scale.length;
  if (!std::isfinite(e->orbit.pericentre) || !std::isfinite(e->orbit.separation)) {
    refuse(path, separation, "orbit.separation", "a value leaves the range of a double in SI units");
  }
}

void reader::encounter(const toml::table &root, encounter_description *e) const {
  only(root, {"units", "seed", "centre", "bulk_velocity", "galaxy", "orbit"}, "");
  if (units == units_model) {
    refuse(path, *root.get("units"), "units", "model has no place in an encounter: its masses are shares of one galaxy");
  }
  bool seeded = false;
  uint64_t seed = 0;
  if (const toml::node *n = root.get("seed")) seed = seed_of(*n, "seed"), seeded = true;
  e->seeded = seeded, e->seed = seed;
  if (const toml::node *n = root.get("centre")) vector3(*n, "centre", e->centre), e->centre_given = true;
  if (const toml::node *n = root.get("bulk_velocity")) vector3(*n, "bulk_velocity", e->bulk_velocity), e->bulk_given = true;
  const toml::array *list = root.get("galaxy")->as_array();
  if (list == nullptr || !list->is_array_of_tables()) refuse(path, *root.get("galaxy"), "galaxy", "needs [[galaxy]] tables");
  if (list->size() != 2) {
    refuse(path, *root.get("galaxy"), "galaxy", "an encounter is of two galaxies on one orbit, not " +
           std::to_string(list->size()) + ": more would need orbits [orbit] does not describe");
  }
  for (size_t k = 0; k < list->size(); ++k) member(*list->get(k)->as_table(), k, seeded, seed, e);
  orbit(root, e);
}
bool parse_toml(const std::string &text, const std::string &path, toml::table *root, std::string *why) {
  try {
    *root = toml::parse(text, path);
  } catch (const toml::parse_error &e) {
    *why = path + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
    return false;
  }
  return true;
}

// The reading of a file with the units it names.
reader reader_of(const toml::table &root, const std::string &path) {
  reader r;
  r.path = path;
  if (const toml::node *n = root.get("units")) {
    const std::string name = r.text(*n, "units");
    if (!parse_unit_system(name.c_str(), &r.units)) {
      refuse(path, *n, "units", "needs si, cgs, astro, gadget or model, not \"" + name + "\"");
    }
  }
  // Model units are the default galaxy's mass and scale length behind the
  // scenes: the file's masses are then shares of the whole.
  r.scale = scale_of(r.units, default_total_mass, default_typical_length);
  return r;
}

}  // namespace

bool galaxy_files_available() { return true; }

bool parse_galaxy_text(const std::string &text, const std::string &path, galaxy_description *galaxy,
                       std::string *why) {
  *galaxy = galaxy_description();
  galaxy->path = path;
  galaxy->text = text;
  toml::table root;
  if (!parse_toml(text, path, &root, why)) return false;
  try {
    const reader r = reader_of(root, path);
    galaxy->units = r.units;
    r.top_level(root, galaxy);
  } catch (const refusal &e) {
    *why = e.text;
    return false;
  }
  return true;
}

bool names_an_encounter(const std::string &text) {
  try {
    const toml::table root = toml::parse(text);
    return root.contains("galaxy");
  } catch (const toml::parse_error &) {
    return false;
  }
}

bool parse_encounter_text(const std::string &text, const std::string &path, encounter_description *encounter,
                          std::string *why, const std::vector<std::string> *member_texts) {
  *encounter = encounter_description();
  encounter->path = path;
  encounter->text = text;
  toml::table root;
  if (!parse_toml(text, path, &root, why)) return false;
  try {
    reader r = reader_of(root, path);
    r.member_texts = member_texts;
    encounter->units = r.units;
    r.encounter(root, encounter);
  } catch (const refusal &e) {
    *why = e.text;
    return false;
  }
  return true;
}

namespace {

bool read_text(const std::string &path, std::string *out, std::string *why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = path + ": cannot be opened";
    return false;
  }
  // No galaxy file is larger than this: a device or a wrong name is not
  // read to its end.
  constexpr size_t largest = size_t{1} << 20;
  std::string text(largest + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) {
    *why = path + ": cannot be read";
    return false;
  }
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > largest) {
    *why = path + ": is larger than a galaxy file can be (1 MiB)";
    return false;
  }
  *out = std::move(text);
  return true;
}

}  // namespace

bool read_galaxy_text(const std::string &path, std::string *text, std::string *why) {
  return read_text(path, text, why);
}

bool read_galaxy_file(const std::string &path, galaxy_description *galaxy, std::string *why) {
  std::string text;
  return read_text(path, &text, why) && parse_galaxy_text(text, path, galaxy, why);
}

bool read_encounter_file(const std::string &path, encounter_description *encounter, std::string *why) {
  std::string text;
  return read_text(path, &text, why) && parse_encounter_text(text, path, encounter, why);
}
