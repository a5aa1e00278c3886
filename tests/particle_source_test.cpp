#include "particle_source.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "galaxy_types.h"
#include "particle_text.h"

namespace {

struct record_owner {
  void operator()(gal_system *sys) const { free_gal_system(sys); }
};

// n particles whose every value tells its row: x = (i, 2i, 3i), v = (-i, i/2, 7).
std::unique_ptr<gal_system, record_owner> numbered(int32_t n) {
  std::unique_ptr<gal_system, record_owner> sys(alloc_unplaced_gal_system(n, 1.0, 1e6, 1.0, 1.0, 1.0));
  for (int32_t i = 0; i < n; ++i) {
    const double x[3] = {1.0 * i, 2.0 * i, 3.0 * i}, v[3] = {-1.0 * i, 0.5 * i, 7.0};
    for (int c = 0; c < 3; ++c) sys->pos[3 * i + c] = x[c], sys->vel[3 * i + c] = v[c];
    sys->mass[i] = 1.0 + i;
  }
  return sys;
}

// The view's rows read a block of `block` at a time, from its start or
// after seeking to `from`.
std::vector<particle_data> read_all(particle_source *source, size_t block, uint64_t from = 0) {
  std::vector<particle_data> blocks;
  EXPECT_TRUE(seek_particles(source, from));
  read_error error;
  read_status status = read_more;
  while (status == read_more) {
    blocks.emplace_back();
    status = read_block(source, &blocks.back(), block, &error);
    EXPECT_NE(status, read_failed) << error.what;
    if (blocks.back().nb_element == 0) break;
  }
  return blocks;
}

// The rows a view yields, in order: each moved back (R^T (x - X)), its ID
// less the offset, whatever the blocks and wherever the reading starts.
TEST(SourceView, YieldsItsRowsMovedBackAcrossRangesAndSeeks) {
  const int32_t n = 40;
  auto sys = numbered(n);
  std::vector<uint64_t> ids(n);
  for (int32_t i = 0; i < n; ++i) ids[i] = 100 + i;
  memory_particles memory;
  memory.sys = sys.get();
  memory.ids = ids.data();
  source_view view;
  view.rows = {{3, 7}, {10, 11}, {20, 38}};
  // A quarter turn about z: the file's x is the galaxy's y.
  const double turn[3][3] = {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}};
  std::copy(&turn[0][0], &turn[0][0] + 9, &view.turn[0][0]);
  view.position[0] = 5.0, view.velocity[2] = 7.0, view.id_offset = 90;
  ASSERT_EQ(view_particles(view), 23u);
  std::vector<uint64_t> rows;
  for (const auto &[b, e] : view.rows) {
    for (uint64_t r = b; r < e; ++r) rows.push_back(r);
  }
  for (const size_t block : {1, 3, 4, 23, 64}) {
    for (const uint64_t from : {0, 4, 5, 22}) {
      particle_source source;
      source.memory = &memory;
      source.view = &view;
      EXPECT_EQ(known_particles(source), 23u);
      uint64_t k = from;
      for (const particle_data &chunk : read_all(&source, block, from)) {
        EXPECT_LE(static_cast<size_t>(chunk.nb_element), block);
        for (int64_t j = 0; j < chunk.nb_element; ++j, ++k) {
          ASSERT_LT(k, rows.size());
          const double i = static_cast<double>(rows[k]);
          // R^T (x - X) with x = (i, 2i, 3i), X = (5, 0, 0): (2i, 5 - i, 3i).
          EXPECT_EQ(chunk.pos[3 * j + 0], 2.0 * i);
          EXPECT_EQ(chunk.pos[3 * j + 1], 5.0 - i);
          EXPECT_EQ(chunk.pos[3 * j + 2], 3.0 * i);
          EXPECT_EQ(chunk.vel[3 * j + 0], 0.5 * i);
          EXPECT_EQ(chunk.vel[3 * j + 1], i);
          EXPECT_EQ(chunk.vel[3 * j + 2], 0.0);
          EXPECT_EQ(chunk.mass[j], 1.0 + i);
          EXPECT_EQ(chunk.ids[j], 10 + rows[k]);
        }
      }
      EXPECT_EQ(k, rows.size()) << "block " << block << " from " << from;
      if (k != rows.size()) return;
    }
  }
  particle_source source;
  source.memory = &memory;
  source.view = &view;
  EXPECT_FALSE(seek_particles(&source, 24)) << "beyond the view";
}

// A text file is read from its start only: its view skips the rows between
// its ranges by reading them, and stops short where the file does.
TEST(SourceView, ReadsATextFileForwardAndStopsWhereItEnds) {
  const int32_t n = 12;
  auto sys = numbered(n);
  std::FILE *file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(write_particle_file(file, sys.get()));
  std::rewind(file);
  particle_source source;
  source.text_file = file;
  source.text = begin_text_read(file);
  source_view view;
  view.rows = {{2, 4}, {9, 15}};  // beyond the file's 12 rows
  source.view = &view;
  EXPECT_EQ(known_particles(source), 0u) << "a text file's count is known once read";
  std::vector<double> seen;
  for (const particle_data &chunk : read_all(&source, 3)) {
    for (int64_t j = 0; j < chunk.nb_element; ++j) seen.push_back(chunk.pos[3 * j]);
  }
  EXPECT_EQ(seen, (std::vector<double>{2, 3, 9, 10, 11}));
  EXPECT_FALSE(seek_particles(&source, 1)) << "no step back in a text file";
}

}  // namespace
