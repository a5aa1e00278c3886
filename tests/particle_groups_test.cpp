// Files of several particle types: the groups' order, each format written
// and read back type by type, and files of one group byte for byte as they
// were before types existed.
#include "particle_groups.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "binary_reader.h"
#include "format_writing.h"
#include "particle_hdf5.h"
#include "particle_reader.h"
#include "test_support.h"

namespace {

using format_writing::binary_job;
using format_writing::formula_record;
using format_writing::hdf5_job;
using test_support::read_file;
using test_support::scratch_dir;

// FNV-1a, 64 bits: a fingerprint of a file's bytes.
uint64_t fingerprint(const std::string &bytes) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

struct owned_record {
  gal_system *sys;
  explicit owned_record(gal_system *s) : sys(s) {}
  ~owned_record() { free_gal_system(sys); }
  owned_record(const owned_record &) = delete;
  owned_record &operator=(const owned_record &) = delete;
};

output_frame astro_frame() {
  output_frame frame;
  frame.system = units_astro;
  frame.scale = scale_of(units_astro, 1.9891e39, 1e18);
  frame.shifted = true;
  frame.position_offset[0] = 10.0;
  frame.velocity_offset[1] = -120.0;
  return frame;
}

// The single-group files of every format, by name: their bytes.
std::map<std::string, std::string> single_group_files(const std::string &dir, bool explicit_group) {
  constexpr int32_t n = 1201;
  owned_record whole(formula_record(n));
  // Edited masses and IDs, as the Python module hands them over.
  owned_record edited(formula_record(n));
  std::vector<uint64_t> ids(n);
  for (int32_t j = 0; j < n; ++j) {
    edited.sys->mass[j] *= 1.0 + 1e-3 * (j % 7);
    ids[static_cast<size_t>(j)] = 5000 + 3 * static_cast<uint64_t>(j);
  }
  written_columns own;
  own.row_masses = true;
  own.ids = ids.data();
  own.largest_id = ids.back();
  particle_groups one;
  if (explicit_group) one.groups.push_back({"galaxy", 1, true, 0, n, whole.sys->mass_element});
  std::map<std::string, std::string> files;
  std::string why;

  const auto binary = [&](const std::string &name, binary_job job, const gal_system *sys) {
    job.groups = one;
    const std::string path = dir + "/" + name;
    EXPECT_TRUE(format_writing::write_binary(path, {sys}, {0}, n, job, &why)) << name << ": " << why;
    binary_layout layout;
    plan_binary_layout(n, job.options, &layout, &why, job.columns);
    std::string all;
    for (const std::string &part : binary_file_names(layout, path)) all += read_file(part) + "|";
    files[name] = all;
  };
  binary_job job;
  job.options.format = format_gadget1;
  binary("g1", job, whole.sys);
  job.options.format = format_gadget2;
  binary("g2", job, whole.sys);
  job.options.max_record_bytes = 4000;
  binary("g2-split", job, whole.sys);
  job.columns = own;
  binary("g2-split-own", job, edited.sys);
  job.options.format = format_gadget1;
  job.options.max_record_bytes = INT32_MAX;
  binary("g1-own", job, edited.sys);
  job.columns = written_columns();
  job.options.format = format_gadget2;
  job.options.double_precision = job.options.long_ids = true;
  job.frame = astro_frame();
  binary("g2-double-astro", job, whole.sys);
  job = binary_job();
  job.options.format = format_tipsy;
  job.options.softening = 0.01;
  job.frame = astro_frame();
  binary("tipsy-astro", job, whole.sys);
  job.columns = own;
  binary("tipsy-own", job, edited.sys);

  if (hdf5_available()) {
    run_provenance provenance;
    provenance.version = "0.0.0";
    provenance.command_line = "-p 1201 --format hdf5";
    provenance.count = n;
    provenance.seeded = true;
    provenance.seed = 7;
    provenance.format = "hdf5";
    const auto hdf5 = [&](const std::string &name, hdf5_job job, const gal_system *sys) {
      job.groups = one;
      const std::string path = dir + "/" + name;
      EXPECT_TRUE(format_writing::write_hdf5(path, {sys}, {0}, n, job, &why)) << name << ": " << why;
      files[name] = read_file(path);
    };
    hdf5_job h;
    hdf5("h5", h, whole.sys);
    h.frame = astro_frame();
    h.provenance = &provenance;
    hdf5("h5-astro", h, whole.sys);
    h.columns = own;
    hdf5("h5-own", h, edited.sys);
  }
  files["text"] = format_writing::text_of(whole.sys, output_frame(), written_columns());
  files["text-astro-own"] = format_writing::text_of(edited.sys, astro_frame(), own);
  return files;
}

// The fingerprints of these files as the writers wrote them before they
// knew of particle types (HDF5's with the library of that time).
const std::map<std::string, uint64_t> recorded = {
    {"g1", 0x3564879e50ae1a44ull},
    {"g1-own", 0x36157db1075893a6ull},
    {"g2", 0xd47870a2fec551d3ull},
    {"g2-double-astro", 0xed0d1aa6d30e0f5bull},
    {"g2-split", 0xc786b460d59948caull},
    {"g2-split-own", 0xe1aca44b880a9753ull},
    {"h5", 0x1a197a2648b780f6ull},
    {"h5-astro", 0xd29c92df7f98e9f8ull},
    {"h5-own", 0x2c66e3b977c05c27ull},
    {"text", 0x40b240a42e983c50ull},
    {"text-astro-own", 0x442c0b83dfefb362ull},
    {"tipsy-astro", 0x7c32f3db533c25d7ull},
    {"tipsy-own", 0xf1c89cd3e07a4965ull},
};
const char *const recorded_hdf5_version = "1.10.8";

TEST(SingleGroup, FilesKeepTheBytesWrittenBeforeTypes) {
  scratch_dir dir;
  const std::map<std::string, std::string> files = single_group_files(dir.path(), false);
  const bool same_hdf5 = std::string(GALAXY_HDF5_VERSION) == recorded_hdf5_version;
  size_t compared = 0;
  for (const auto &[name, bytes] : files) {
    if (name.rfind("h5", 0) == 0 && !same_hdf5) continue;
    ASSERT_EQ(recorded.count(name), 1u) << name;
    EXPECT_EQ(fingerprint(bytes), recorded.at(name)) << name << " changed its bytes";
    ++compared;
  }
  EXPECT_EQ(compared, hdf5_available() && same_hdf5 ? recorded.size() : recorded.size() - 3);
  if (!same_hdf5) std::printf("HDF5 %s, not %s: its files not compared\n", GALAXY_HDF5_VERSION, recorded_hdf5_version);
  // One group of type 1 given is the same file as none (HDF5's names it).
  scratch_dir other;
  const std::map<std::string, std::string> given = single_group_files(other.path(), true);
  for (const auto &[name, bytes] : files) {
    if (name.rfind("h5", 0) != 0) {
      EXPECT_TRUE(given.at(name) == bytes) << name;
    }
  }
}

// A galaxy of groups: the record of every particle, the masses each
// group's, and the groups themselves.
struct galaxy_of_groups {
  particle_groups groups;
  gal_system *sys = nullptr;
  uint64_t total = 0;
  galaxy_of_groups(std::vector<particle_group> list) {
    groups.groups = std::move(list);
    for (const particle_group &g : groups.groups) total += g.count;
    sys = formula_record(static_cast<int32_t>(total));
    for (const particle_group &g : groups.groups) {
      for (uint64_t i = g.first; i < g.first + g.count; ++i) sys->mass[i] = g.mass;
    }
  }
  ~galaxy_of_groups() { free_gal_system(sys); }
  galaxy_of_groups(const galaxy_of_groups &) = delete;
  galaxy_of_groups &operator=(const galaxy_of_groups &) = delete;
  // The same particles as two records, as two ranks hold them.
  std::vector<gal_system *> shares(int32_t split) const {
    std::vector<gal_system *> out = {formula_record(static_cast<int32_t>(total), 0, split),
                                     formula_record(static_cast<int32_t>(total), split, static_cast<int32_t>(total) - split)};
    for (int32_t j = 0; j < split; ++j) out[0]->mass[j] = sys->mass[j];
    for (uint64_t j = static_cast<uint64_t>(split); j < total; ++j) out[1]->mass[j - split] = sys->mass[j];
    return out;
  }
};

// A halo, a bulge and a black hole.
std::vector<particle_group> three_groups() {
  return {{"halo", 1, true, 0, 1000, 1.0}, {"bulge", 3, false, 1000, 200, 0.1}, {"black hole", 5, false, 1200, 1, 0.01}};
}

// Two discs of type 4 with masses of their own, after a halo.
std::vector<particle_group> shared_type_groups() {
  return {{"halo", 1, true, 0, 500, 2.0}, {"thin disc", 4, false, 500, 300, 0.5}, {"thick disc", 4, false, 800, 100, 0.25}};
}

struct read_back {
  particle_data data;
  std::vector<std::string> disagreements;
  type_counts counts;
  std::string error;
};

read_back read_binary(const std::string &path, binary_format format) {
  read_back r;
  read_error error;
  binary_particle_reader *reader = begin_binary_read(path, format, &error);
  if (reader == nullptr) {
    r.error = error.what;
    return r;
  }
  read_status status;
  while ((status = read_binary_chunk(reader, &r.data, 137, &error)) == read_more) {
  }
  if (status == read_failed) r.error = error.what;
  r.disagreements = binary_header_disagreements(reader);
  r.counts = binary_type_counts(reader);
  end_binary_read(reader);
  return r;
}

read_back read_hdf5(const std::string &path, std::string *galaxy_text = nullptr) {
  read_back r;
  read_error error;
  hdf5_particle_reader *reader = begin_hdf5_read(path, &error);
  if (reader == nullptr) {
    r.error = error.what;
    return r;
  }
  read_status status;
  while ((status = read_hdf5_chunk(reader, &r.data, 137, &error)) == read_more) {
  }
  if (status == read_failed) r.error = error.what;
  r.disagreements = hdf5_header_disagreements(reader);
  r.counts = hdf5_type_counts(reader);
  if (galaxy_text != nullptr) *galaxy_text = hdf5_galaxy_file_text(reader);
  end_hdf5_read(reader);
  return r;
}

// What was read against the record: every particle's type, mass, position
// and velocity (rounded as stored: GADGET's mass table is float64), and
// IDs 1 ... N when stored.
void expect_particles(const read_back &r, const galaxy_of_groups &g, const std::vector<int> &types, bool single,
                      bool ids, const std::string &label, bool mass_table = false) {
  ASSERT_EQ(r.error, "") << label;
  EXPECT_TRUE(r.disagreements.empty()) << label << ": " << (r.disagreements.empty() ? "" : r.disagreements[0]);
  ASSERT_EQ(r.data.nb_element, static_cast<int64_t>(g.total)) << label;
  ASSERT_EQ(r.data.type.size(), g.total) << label;
  const auto stored = [single](double x) { return single ? static_cast<double>(static_cast<float>(x)) : x; };
  const type_shares shares = shares_of(g.groups);
  uint64_t wrong = 0;
  for (uint64_t i = 0; i < g.total; ++i) {
    const bool in_table = mass_table && shares.type[group_of(g.groups, i).type].one_mass;
    const double mass = in_table ? g.sys->mass[i] : stored(g.sys->mass[i]);
    bool ok = r.data.type[i] == types[i] && r.data.mass[i] == mass;
    for (int c = 0; c < 3; ++c) {
      ok = ok && r.data.pos[3 * i + c] == stored(g.sys->pos[3 * i + c]) &&
           r.data.vel[3 * i + c] == stored(g.sys->vel[3 * i + c]);
    }
    if (ids) ok = ok && r.data.ids[i] == i + 1;
    wrong += !ok;
  }
  EXPECT_EQ(wrong, 0u) << label;
  EXPECT_EQ(r.data.ids.size(), ids ? g.total : 0u) << label;
  type_counts expected;
  for (int t : types) ++expected.of[t];
  for (int t = 0; t < 6; ++t) EXPECT_EQ(r.counts.of[t], expected.of[t]) << label << " type " << t;
}

// Each particle's type as a file says it: tipsy knows dark and star ones.
std::vector<int> types_of(const particle_groups &groups, bool tipsy = false) {
  std::vector<int> types;
  for (const particle_group &g : groups.groups) {
    types.insert(types.end(), g.count, !tipsy ? g.type : g.dark ? tipsy_dark_type : tipsy_star_type);
  }
  return types;
}

TEST(ParticleGroups, OrderSharesAndCounts) {
  particle_groups groups;
  groups.groups = three_groups();
  std::string why;
  EXPECT_TRUE(groups_are_ordered(groups, 1201, &why));
  EXPECT_FALSE(groups_are_ordered(groups, 1202, &why));
  EXPECT_EQ(why, "the groups hold 1201 particles, not 1202");
  EXPECT_TRUE(groups_are_ordered(particle_groups(), 5, &why));  // none: one group of all
  const std::vector<std::pair<std::function<void(particle_groups *)>, std::string>> faults = {
      {[](particle_groups *g) { g->groups[1].first = 999; }, "group bulge does not follow the one before it"},
      {[](particle_groups *g) { g->groups[1].type = 0; }, "group bulge's type 0 comes out of order (types 1 to 5, rising)"},
      {[](particle_groups *g) { g->groups[2].type = 6; }, "group black hole's type 6 comes out of order (types 1 to 5, rising)"},
      {[](particle_groups *g) { g->groups[2].type = 2; }, "group black hole's type 2 comes out of order (types 1 to 5, rising)"},
      {[](particle_groups *g) { g->groups[2].dark = true; },
       "group black hole is dark after star particles (tipsy holds dark ones first)"}};
  for (const auto &[fault, message] : faults) {
    particle_groups bad = groups;
    fault(&bad);
    EXPECT_FALSE(groups_are_ordered(bad, 1201, &why)) << message;
    EXPECT_EQ(why, message);
  }
  groups.groups = shared_type_groups();
  const type_shares shares = shares_of(groups);
  EXPECT_TRUE(shares.type[1].present && shares.type[1].one_mass);
  EXPECT_EQ(shares.type[1].mass, 2.0);
  EXPECT_FALSE(shares.type[4].one_mass);
  EXPECT_EQ(shares.type[4].mass, 0.0);
  EXPECT_EQ(shares.type[4].first, 500u);
  EXPECT_EQ(shares.type[4].count, 400u);
  EXPECT_EQ(shares.type[4].names, "thin disc,thick disc");
  EXPECT_FALSE(shares.type[0].present || shares.type[2].present || shares.type[3].present || shares.type[5].present);
  EXPECT_EQ(type_rows_in(shares.type[4], 0, 600), 100u);
  EXPECT_EQ(type_rows_in(shares.type[4], 850, 2000), 50u);
  EXPECT_EQ(type_rows_in(shares.type[1], 500, 900), 0u);
  EXPECT_EQ(dark_count(groups), 500u);
  EXPECT_EQ(group_of(groups, 799).name, "thin disc");
  EXPECT_EQ(group_of(groups, 800).name, "thick disc");
  const particle_groups one = file_groups(particle_groups(), 42, 3.5);
  ASSERT_EQ(one.groups.size(), 1u);
  EXPECT_EQ(one.groups[0].type, 1);
  EXPECT_EQ(one.groups[0].count, 42u);
  EXPECT_EQ(one.groups[0].mass, 3.5);
}

// Every GADGET flavour and tipsy, written in reversed blocks that straddle
// the groups, from one record and from two ranks' shares, read back.
TEST(ParticleGroups, BinaryFilesHoldEveryTypeInOrder) {
  scratch_dir dir;
  for (const auto &list : {three_groups(), shared_type_groups()}) {
    const galaxy_of_groups g(list);
    const std::vector<gal_system *> shares = g.shares(613);
    for (const binary_format format : {format_gadget1, format_gadget2, format_tipsy}) {
      const std::vector<int> types = types_of(g.groups, format == format_tipsy);
      for (const bool wide : {false, true}) {
        if (format == format_tipsy && wide) continue;
        binary_job job;
        job.groups = g.groups;
        job.options.format = format;
        job.options.double_precision = wide;
        // Splits of 301 particles: files that end inside groups.
        if (format == format_gadget2 && !wide) job.options.max_record_bytes = 12 * 301;
        const std::string label = std::string(binary_format_name(format)) + (wide ? " double " : " ") + list[0].name +
                                  "/" + std::to_string(list.size());
        std::string why;
        const std::string one = dir.file("one"), two = dir.file("two");
        ASSERT_TRUE(format_writing::write_binary(one, {g.sys}, {0}, g.total, job, &why)) << label << why;
        ASSERT_TRUE(format_writing::write_binary(two, {shares[0], shares[1]}, {0, 613}, g.total, job, &why)) << label;
        binary_layout layout;
        ASSERT_TRUE(plan_binary_layout(g.total, job.options, &layout, &why, job.columns, job.groups));
        const std::vector<std::string> ones = binary_file_names(layout, one), twos = binary_file_names(layout, two);
        EXPECT_EQ(ones.size(), job.options.max_record_bytes < INT32_MAX ? (g.total + 300) / 301 : 1) << label;
        const bool gadget = format != format_tipsy;
        expect_particles(read_binary(ones[0], format), g, types, !wide, gadget, label, gadget);
        for (size_t k = 0; k < ones.size(); ++k) {
          EXPECT_TRUE(read_file(ones[k]) == read_file(twos[k])) << label << ": two ranks wrote other bytes";
        }
      }
    }
    for (gal_system *share : shares) free_gal_system(share);
  }
}

// The HDF5 file: a PartTypeN group a type, each type's mass in the table
// when its particles share one, the galaxy file and the groups' names.
TEST(ParticleGroups, Hdf5FilesHoldEveryTypeInOrder) {
  NEEDS_FEATURE(hdf5_available(), lib_hdf5);
  scratch_dir dir;
  for (const auto &list : {three_groups(), shared_type_groups()}) {
    const galaxy_of_groups g(list);
    const std::vector<gal_system *> shares = g.shares(613);
    run_provenance provenance;
    provenance.count = g.total;
    provenance.galaxy_file_text = "units = \"si\"\n[[component]]\nname = \"halo\"\n";
    hdf5_job job;
    job.groups = g.groups;
    job.provenance = &provenance;
    std::string why, text;
    ASSERT_TRUE(format_writing::write_hdf5(dir.file("one.hdf5"), {g.sys}, {0}, g.total, job, &why)) << why;
    ASSERT_TRUE(format_writing::write_hdf5(dir.file("two.hdf5"), {shares[0], shares[1]}, {0, 613}, g.total, job, &why));
    expect_particles(read_hdf5(dir.file("one.hdf5"), &text), g, types_of(g.groups), false, true, list[0].name);
    EXPECT_EQ(text, provenance.galaxy_file_text);
    EXPECT_TRUE(read_file(dir.file("one.hdf5")) == read_file(dir.file("two.hdf5")));
    for (gal_system *share : shares) free_gal_system(share);
  }
  // Without a galaxy file, no text; a long one (beyond the 64 KiB an
  // attribute of the earliest format holds) whole.
  const galaxy_of_groups g(three_groups());
  hdf5_job job;
  job.groups = g.groups;
  std::string why, text = "stale";
  ASSERT_TRUE(format_writing::write_hdf5(dir.file("plain.hdf5"), {g.sys}, {0}, g.total, job, &why));
  EXPECT_EQ(read_hdf5(dir.file("plain.hdf5"), &text).error, "");
  EXPECT_EQ(text, "");
  run_provenance provenance;
  provenance.count = g.total;
  for (int k = 0; k < 5000; ++k) provenance.galaxy_file_text += "# line " + std::to_string(k) + " of comments\n";
  job.provenance = &provenance;
  ASSERT_GT(provenance.galaxy_file_text.size(), size_t{100000});
  ASSERT_TRUE(format_writing::write_hdf5(dir.file("long.hdf5"), {g.sys}, {0}, g.total, job, &why));
  expect_particles(read_hdf5(dir.file("long.hdf5"), &text), g, types_of(g.groups), false, true, "long galaxy file");
  EXPECT_TRUE(text == provenance.galaxy_file_text);
}

// A group of no particle between others: its type is counted (0) and
// read past in every format.
TEST(ParticleGroups, EmptyGroupsAreReadPast) {
  scratch_dir dir;
  const galaxy_of_groups g({{"halo", 1, true, 0, 10, 1.0}, {"bulge", 3, false, 10, 0, 0.5},
                            {"black hole", 5, false, 10, 1, 0.01}});
  for (const binary_format format : {format_gadget2, format_tipsy}) {
    binary_job job;
    job.groups = g.groups;
    job.options.format = format;
    std::string why;
    ASSERT_TRUE(format_writing::write_binary(dir.file("e"), {g.sys}, {0}, g.total, job, &why)) << why;
    expect_particles(read_binary(dir.file("e"), format), g, types_of(g.groups, format == format_tipsy), true,
                     format != format_tipsy, binary_format_name(format), format != format_tipsy);
  }
  if (!hdf5_available()) return;
  hdf5_job job;
  job.groups = g.groups;
  std::string why;
  ASSERT_TRUE(format_writing::write_hdf5(dir.file("e.hdf5"), {g.sys}, {0}, g.total, job, &why));
  expect_particles(read_hdf5(dir.file("e.hdf5")), g, types_of(g.groups), false, true, "hdf5");
}

// Text has no types: groups of other masses write each particle's own
// mass, read back as type 1.
TEST(ParticleGroups, TextWritesEachParticlesOwnMass) {
  const galaxy_of_groups g(three_groups());
  EXPECT_FALSE(groups_share_one_mass(g.groups));
  particle_groups equal;
  equal.groups = {{"a", 1, true, 0, 3, 2.0}, {"b", 2, true, 3, 4, 2.0}};
  EXPECT_TRUE(groups_share_one_mass(equal));
  EXPECT_TRUE(groups_share_one_mass(particle_groups()));
  written_columns columns;
  columns.row_masses = !groups_share_one_mass(g.groups);
  for (const output_frame &frame : {output_frame(), astro_frame()}) {
    std::string text = format_writing::text_of(g.sys, frame, columns);
    std::FILE *in = fmemopen(text.data(), text.size(), "r");
    particle_data data;
    read_error error;
    ASSERT_TRUE(read_particle_stream(in, &data, &error)) << error.what;
    std::fclose(in);
    ASSERT_EQ(data.nb_element, 1201);
    ASSERT_EQ(data.type, std::vector<uint8_t>(1201, 1));
    const double unit = frame.scale.mass;
    // SI text rounds to six decimals; other units are exact.
    const double allowed = frame.system == units_si ? 5e-7 : 0.0;
    for (uint64_t i : {uint64_t{0}, uint64_t{999}, uint64_t{1000}, uint64_t{1199}, uint64_t{1200}}) {
      EXPECT_NEAR(data.mass[i], group_of(g.groups, i).mass / unit, allowed * (1.0 + data.mass[i])) << i;
      EXPECT_NE(data.mass[i], 0.0) << i;
    }
  }
}

// Groups out of a file's order are refused by every writer before a file
// is made, saying why.
TEST(ParticleGroups, WritersRefuseGroupsOutOfOrder) {
  scratch_dir dir;
  galaxy_of_groups g(three_groups());
  std::swap(g.groups.groups[1].type, g.groups.groups[2].type);
  binary_job job;
  job.groups = g.groups;
  std::string why;
  EXPECT_FALSE(format_writing::write_binary(dir.file("g"), {g.sys}, {0}, g.total, job, &why));
  EXPECT_EQ(why, "its particle groups are not in a file's order: group black hole's type 3 comes out of order "
                 "(types 1 to 5, rising)");
  EXPECT_FALSE(test_support::file_exists(dir.file("g")));
  if (!hdf5_available()) return;
  hdf5_job h;
  h.groups = g.groups;
  h.groups.groups[2].count = 7;
  why.clear();
  EXPECT_FALSE(format_writing::write_hdf5(dir.file("g.hdf5"), {g.sys}, {0}, g.total, h, &why));
  EXPECT_EQ(why, "its particle groups are not in a file's order: group black hole's type 3 comes out of order "
                 "(types 1 to 5, rising)");
  EXPECT_FALSE(test_support::file_exists(dir.file("g.hdf5")));
  h.groups = particle_groups();
  h.groups.groups = three_groups();
  h.groups.groups[2].count = 7;
  EXPECT_EQ(open_hdf5_writer(dir.file("g.hdf5"), g.sys, g.total, output_frame(), nullptr, written_columns(),
                             h.groups, &why), nullptr);
  EXPECT_EQ(why, "its particle groups are not in a file's order: the groups hold 1207 particles, not 1201");
}

}  // namespace
