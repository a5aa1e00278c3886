#include "binary_output.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "random_stream.h"
#include "test_support.h"

namespace {

using test_support::read_file;
using test_support::run_program;
using test_support::run_result;
using test_support::scratch_dir;
using test_support::write_file;

const std::string program = GALAXY_IC_PATH;

TEST(BinaryLayout, SplitsWidthsAndLimits) {
  binary_layout layout;
  std::string why;
  binary_options gadget;
  ASSERT_TRUE(plan_binary_layout(3001, gadget, &layout, &why));
  EXPECT_EQ(layout.files.size(), 1u);
  EXPECT_EQ(layout.value_bytes, 4);
  EXPECT_EQ(layout.id_bytes, 4);
  // 12 bytes a particle: 4000 bytes hold 333, so 10 files of 301 or 300.
  gadget.max_record_bytes = 4000;
  ASSERT_TRUE(plan_binary_layout(3001, gadget, &layout, &why));
  ASSERT_EQ(layout.files.size(), 10u);
  EXPECT_EQ(layout.files[0].rows, 301u);
  EXPECT_EQ(layout.files[9].first_row + layout.files[9].rows, 3001u);
  EXPECT_EQ(binary_file_names(layout, "ic")[9], "ic.9");
  // 64-bit IDs from 2^32 particles on, or when asked.
  gadget.max_record_bytes = INT32_MAX;
  ASSERT_TRUE(plan_binary_layout(uint64_t{1} << 32, gadget, &layout, &why));
  EXPECT_EQ(layout.id_bytes, 8);
  EXPECT_EQ(layout.files.size(), 25u);  // 178956970 particles of 12 bytes a record
  gadget.long_ids = gadget.double_precision = true;
  ASSERT_TRUE(plan_binary_layout(10, gadget, &layout, &why));
  EXPECT_EQ(layout.id_bytes, 8);
  EXPECT_EQ(layout.value_bytes, 8);
  gadget.max_record_bytes = 23;
  EXPECT_FALSE(plan_binary_layout(10, gadget, &layout, &why));
  EXPECT_EQ(why, "a record of at most 23 bytes holds no particle");
  binary_options tipsy;
  tipsy.format = format_tipsy;
  EXPECT_TRUE(plan_binary_layout(INT32_MAX, tipsy, &layout, &why));
  EXPECT_FALSE(plan_binary_layout(uint64_t{INT32_MAX} + 1, tipsy, &layout, &why));
  EXPECT_EQ(why, "tipsy counts particles in 32-bit integers: at most 2147483647");
}

TEST(BinaryRun, RefusalsLeaveNoFile) {
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  const std::vector<std::pair<std::vector<std::string>, std::string>> refusals = {
      // One particle of the default galaxy weighs 1.9891e39 kg, beyond
      // float32 (GADGET's mass table is float64; its positions are not).
      {{"-p", "1", "--format", "tipsy"},
       "erreur: a value lies beyond the range of float32 in out: write it with --double, or in other --units"},
      {{"-p", "1", "--format", "gadget1", "--centre", "1e39,0,0"},
       "erreur: a value lies beyond the range of float32 in out: write it with --double, or in other --units"},
      {{"--format", "tipsy", "--softening", "-1"}, "erreur: softening -1 is not a finite number of 0 or more"},
      {{"--format", "gadget1", "--max-record", "23"}, "erreur: record limit 23 is not a byte count from 24 to 2147483647"},
      {{"--format", "gadget2", "-o", "fifo"}, "erreur: gadget2 needs a regular file to seek in, and fifo is not one"},
      {{"--format", "gadget2", "--max-record", "1200", "-o", "missing/ic"}, "erreur: fopen cannot open missing/ic.0"},
  };
  for (const auto &[args, message] : refusals) {
    scratch_dir dir;
    write_file(dir.file("out"), "keep me\n");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    std::vector<std::string> all = {"--seed", "1", "-o", "out"};
    all.insert(all.end(), args.begin(), args.end());
    const run_result r = run_program(program, all, dir.path());
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_EQ(r.out, message);
    EXPECT_EQ(read_file(dir.file("out")), "keep me\n") << message;
    size_t entries = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path())) entries += entry.path().filename() != ".stderr";
    EXPECT_EQ(entries, 2u) << message;  // out and fifo only
  }
  // In model units the same galaxy fits float32, and --double fits any.
  scratch_dir dir;
  EXPECT_EQ(run_program(program, {"--seed", "1", "-p", "1", "--format", "gadget2"}, dir.path()).status, 0);
  EXPECT_EQ(run_program(program, {"--seed", "1", "-p", "1", "--format", "gadget2", "--double", "--centre", "1e39,0,0"},
                        dir.path()).status, 0);
  EXPECT_EQ(run_program(program, {"--seed", "1", "-p", "1", "--format", "tipsy", "--units", "model"}, dir.path()).status, 0);
}

}  // namespace
