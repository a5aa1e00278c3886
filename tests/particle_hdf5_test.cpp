// The HDF5 output: header arithmetic, and failures handled as for text.
#include "particle_hdf5.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "check_cli.h"
#include "random_stream.h"
#include "test_support.h"

namespace {

using test_support::file_exists;
using test_support::read_file;
using test_support::run_program;
using test_support::run_result;
using test_support::scratch_dir;
using test_support::write_file;

const std::string program = GALAXY_IC_PATH;
const std::string old_content = "the user's old file\n";

TEST(HdfCounts, SplitSixtyFourBitsIntoTheHeaderWords) {
  const hdf5_counts small = compute_hdf5_counts(4000000);
  EXPECT_EQ(small.this_file[1], 4000000u);
  EXPECT_EQ(small.total[1], 4000000u);
  EXPECT_EQ(small.high_word[1], 0u);
  const hdf5_counts edge = compute_hdf5_counts(4294967295u);
  EXPECT_EQ(edge.total[1], 4294967295u);
  EXPECT_EQ(edge.high_word[1], 0u);
  const hdf5_counts big = compute_hdf5_counts(4294967296u * 3 + 7);
  EXPECT_EQ(big.this_file[1], 4294967296u * 3 + 7);
  EXPECT_EQ(big.total[1], 7u);
  EXPECT_EQ(big.high_word[1], 3u);
  for (int type : {0, 2, 3, 4, 5}) {
    EXPECT_EQ(big.this_file[type] + big.total[type] + big.high_word[type], 0u) << type;
  }
}

class Hdf5Output : public ::testing::Test {
 protected:
  void SetUp() override {
    NEEDS_FEATURE(hdf5_available(), lib_hdf5);
  }
};

TEST_F(Hdf5Output, DefaultNameAndSignature) {
  scratch_dir dir;
  const run_result r = run_program(program, {"--format", "hdf5", "-p", "10"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  const std::string bytes = read_file(dir.file("galaxy.hdf5"));
  EXPECT_TRUE(has_hdf5_signature(reinterpret_cast<const unsigned char *>(bytes.data()),
                                 bytes.size()));
  EXPECT_FALSE(file_exists(dir.file("galaxy.ini")));
  // --format ini is today's file.
  EXPECT_EQ(run_program(program, {"--format", "ini", "-p", "10"}, dir.path()).status, 0);
  EXPECT_TRUE(file_exists(dir.file("galaxy.ini")));
}

TEST_F(Hdf5Output, RefusalsTouchNothing) {
  scratch_dir dir;
  write_file(dir.file("galaxy.hdf5"), old_content);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--format", "xml"}, "erreur: format xml is not ini, hdf5, gadget1, gadget2 or tipsy"},
      {{"--format", "HDF5"}, "erreur: format HDF5 is not ini, hdf5, gadget1, gadget2 or tipsy"},
      {{"-p", "3", "--format"}, "erreur: option --format needs a value"},
      {{"--format", "hdf5", "-o", "missing/g.hdf5"}, "erreur: fopen cannot open missing/g.hdf5"},
      {{"--format", "hdf5", "-o", dir.path()}, "erreur: fopen cannot open " + dir.path()},
  };
  for (const auto &[args, message] : cases) {
    const run_result r = run_program(program, args, dir.path());
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_EQ(r.out, message);
    EXPECT_EQ(r.err, "") << message;  // no library diagnostics
  }
  EXPECT_EQ(read_file(dir.file("galaxy.hdf5")), old_content);
  EXPECT_FALSE(file_exists(dir.file("missing")));

  // A file HDF5 cannot seek in is refused before anything is written.
  const std::string fifo = dir.file("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const run_result r = run_program(program, {"--format", "hdf5", "-o", "pipe"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "erreur: hdf5 needs a regular file to seek in, and pipe is not one");
}

TEST_F(Hdf5Output, FullDiskKeepsTheOldFile) {
  NEEDS_FEATURE(counter_based_stream_available(), lib_random123);
  scratch_dir dir;
  const std::string mount_point = dir.file("small");
  std::filesystem::create_directory(mount_point);
  if (mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=2m") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << std::strerror(errno);
  }
  write_file(mount_point + "/old.hdf5", old_content);
  const run_result r = run_program(
      program, {"--format", "hdf5", "--seed", "1", "-p", "100000", "-o", "old.hdf5"}, mount_point);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "erreur: fwrite cannot write old.hdf5");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(mount_point + "/old.hdf5"), old_content);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mount_point),
                          std::filesystem::directory_iterator{}), 1);
  umount(mount_point.c_str());
}

TEST_F(Hdf5Output, CheckerRefusesTruncatedFiles) {
  NEEDS_FEATURE(check_options_available(), lib_cli11);
  scratch_dir dir;
  ASSERT_EQ(run_program(program, {"--format", "hdf5", "-p", "1000", "-o", "g.hdf5"}, dir.path())
                .status, 0);
  const std::string whole = read_file(dir.file("g.hdf5"));
  for (const size_t keep : {size_t{8}, size_t{800}, whole.size() / 2}) {
    write_file(dir.file("cut.hdf5"), whole.substr(0, keep));
    const run_result r = run_program(GALAXY_CHECK_PATH, {"cut.hdf5"}, dir.path());
    EXPECT_EQ(r.status, 2) << keep;
    EXPECT_NE(r.err.find("cut.hdf5: expected"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("HDF5-DIAG"), std::string::npos) << r.err;
  }
}

}  // namespace
