// Faults while the particle file is written: the file being replaced must
// survive every failure and interruption, and no failure may pass for success.
#include "output_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "waiting_stream.h"

namespace {

using test_support::file_exists;
using test_support::read_file;
using test_support::run_program;
using test_support::run_result;
using test_support::scratch_dir;
using test_support::write_file;

const std::string program = GALAXY_IC_PATH;
const std::string old_content = "the user's old file\n";

// The file a plain run writes for count particles.
const std::string &reference(int count) {
  static std::map<int, std::string> cache;
  auto found = cache.find(count);
  if (found != cache.end()) return found->second;
  scratch_dir dir;
  EXPECT_EQ(run_program(program, {"-p", std::to_string(count), "-o", "r"}, dir.path()).status, 0);
  return cache[count] = read_file(dir.file("r"));
}

// Names in dir, temporaries included.
std::vector<std::string> entries(const std::string &dir) {
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A failed run must say so, keep the old file and leave nothing behind.
void expect_old_file_kept(const run_result &r, const scratch_dir &dir, const std::string &message) {
  EXPECT_TRUE(r.exited) << message;
  EXPECT_EQ(r.status, 1) << message;
  EXPECT_EQ(r.out, message);
  EXPECT_EQ(read_file(dir.file("old.ini")), old_content) << message;
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"old.ini"}) << message;
}

TEST(SafeReplace, WriteErrorsKeepTheOldFile) {
  // A file-size limit: SIGXFSZ must become a write error, not a silent death.
  scratch_dir dir;
  write_file(dir.file("old.ini"), old_content);
  const run_result r = run_program(program, {"-p", "100000", "-o", "old.ini"}, dir.path(),
                                   test_support::limit_resource(RLIMIT_FSIZE, 100 * 1024));
  expect_old_file_kept(r, dir, "erreur: fwrite cannot write old.ini");
}

TEST(SafeReplace, FullDiskKeepsTheOldFile) {
  scratch_dir dir;
  const std::string mount_point = dir.file("small");
  std::filesystem::create_directory(mount_point);
  if (mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=2m") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << std::strerror(errno);
  }
  write_file(mount_point + "/old.ini", old_content);
  const run_result r = run_program(program, {"-p", "100000", "-o", "old.ini"}, mount_point);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "erreur: fwrite cannot write old.ini");
  EXPECT_EQ(read_file(mount_point + "/old.ini"), old_content);
  EXPECT_EQ(entries(mount_point), std::vector<std::string>{"old.ini"});
  umount(mount_point.c_str());
}

TEST(SafeReplace, CloseErrorKeepsTheOldFile) {
  // The shim makes fclose of every file but the standard streams report EIO
  // after really closing it.
  scratch_dir dir;
  write_file(dir.file("old.ini"), old_content);
  const run_result r = run_program(program, {"-p", "10", "-o", "old.ini"}, dir.path(), []() {
    setenv("LD_PRELOAD", FAIL_FCLOSE_PATH, 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
  });
  expect_old_file_kept(r, dir, "erreur: fclose cannot close old.ini");
}

TEST(SafeReplace, ModeOwnerAndLinksAsBefore) {
  scratch_dir dir;
  // An existing file keeps its permission bits; a new one gets 0666 less
  // the umask, as fopen would give.
  write_file(dir.file("old.ini"), old_content);
  chmod(dir.file("old.ini").c_str(), 0604);
  ASSERT_EQ(run_program(program, {"-p", "3", "-o", "old.ini"}, dir.path()).status, 0);
  struct stat st;
  ASSERT_EQ(stat(dir.file("old.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  EXPECT_EQ(read_file(dir.file("old.ini")), reference(3));
  for (const mode_t mask : {0022, 0077}) {
    const std::string name = "new" + std::to_string(mask);
    ASSERT_EQ(run_program(program, {"-p", "3", "-o", name}, dir.path(), [=]() { umask(mask); })
                  .status, 0);
    ASSERT_EQ(stat(dir.file(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask);
  }

  // A symlink stays a symlink; the file it points to, in another directory,
  // is replaced.
  std::filesystem::create_directory(dir.file("real"));
  write_file(dir.file("real/target.ini"), old_content);
  std::filesystem::create_symlink("real/target.ini", dir.file("link.ini"));
  ASSERT_EQ(run_program(program, {"-p", "2", "-o", "link.ini"}, dir.path()).status, 0);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.ini")));
  EXPECT_EQ(read_file(dir.file("real/target.ini")), reference(2));

  // A file with two names is written in place: both names see the new file.
  write_file(dir.file("one.ini"), old_content);
  std::filesystem::create_hard_link(dir.file("one.ini"), dir.file("two.ini"));
  ASSERT_EQ(run_program(program, {"-p", "2", "-o", "one.ini"}, dir.path()).status, 0);
  EXPECT_EQ(read_file(dir.file("two.ini")), reference(2));
}

TEST(SafeReplace, ConcurrentRunsNeverMixTheirFiles) {
  scratch_dir dir;
  const std::string &a = reference(100000);
  const std::string &b = reference(99990);
  for (int trial = 0; trial < 4; ++trial) {
    std::thread other([&]() {
      EXPECT_EQ(run_program(program, {"-p", "99990", "-o", "m.ini"}, dir.path()).status, 0);
    });
    EXPECT_EQ(run_program(program, {"-p", "100000", "-o", "m.ini"}, dir.path()).status, 0);
    other.join();
    const std::string text = read_file(dir.file("m.ini"));
    EXPECT_TRUE(text == a || text == b) << "trial " << trial << ": a mixed file";
  }
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"m.ini"});
}

TEST(SafeReplace, ThreadsReplaceTheirOwnFilesApart) {
  scratch_dir dir;
  constexpr int threads = 4, rounds = 300;
  std::atomic<int> wrong{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([&, t]() {
      const std::string name = dir.file("f" + std::to_string(t));
      for (int r = 0; r < rounds; ++r) {
        const std::string content = "thread " + std::to_string(t) + ", round " + std::to_string(r) + "\n";
        output_file out;
        if (!open_output_file(&out, name)) {
          ++wrong;
          continue;
        }
        const bool written = std::fputs(content.c_str(), out.file) >= 0;
        if (commit_output_file(&out, written) != output_committed || read_file(name) != content) ++wrong;
      }
    });
  }
  for (std::thread &t : writers) t.join();
  EXPECT_EQ(wrong.load(), 0) << "writes lost, mixed or failed";
  EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"f0", "f1", "f2", "f3"}));
}

// Waits for count temporary files with content, named from prefix, to
// appear in dir.
bool wait_for_temporary(const std::string &dir, pid_t pid, const std::string &prefix = ".old.ini.",
                        int count = 1) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    int found = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
      const std::string name = entry.path().filename().string();
      std::error_code ignored;
      if (name.rfind(prefix, 0) == 0 && entry.file_size(ignored) > 0) ++found;
    }
    if (found >= count) return true;
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

TEST(SafeReplace, SignalsMidWriteRemoveTheTemporary) {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    scratch_dir dir;
    write_file(dir.file("old.ini"), old_content);
    const int out = open("/dev/null", O_WRONLY);
    const pid_t pid = test_support::start_program(
        program, {"-p", "1000000", "-o", "old.ini"}, dir.path(), out, "/dev/null", [=]() {
          signal(sig, SIG_DFL);  // a test runner may have left it ignored
        });
    close(out);
    ASSERT_TRUE(wait_for_temporary(dir.path(), pid)) << "no write seen before the run ended";
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << strsignal(sig);
    EXPECT_EQ(read_file(dir.file("old.ini")), old_content) << strsignal(sig);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"old.ini"}) << strsignal(sig);
  }
}

TEST(SafeReplace, SignalRemovesEveryTemporaryOfASplitSet) {
  scratch_dir dir;
  const int out = open("/dev/null", O_WRONLY);
  // 3e6 particles in records of at most 1e6 positions: three files.
  const pid_t pid = test_support::start_program(
      program, {"-p", "3000000", "--seed", "1", "--format", "gadget2", "--max-record", "12000000", "-o", "s"},
      dir.path(), out, "/dev/null", []() { signal(SIGTERM, SIG_DFL); });
  close(out);
  ASSERT_TRUE(wait_for_temporary(dir.path(), pid, ".s.", 3)) << "the three files were not seen being written";
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{}) << "a temporary file of the set was left";
}

// A thread opening the armed temporary by its path (as HDF5 does) while a
// signal comes: handled on another thread, the handler must wait for the
// open and then remove what it made, not unlink first and leave the
// reopened file behind; sent to the opening thread itself, it must wait
// until the open is over rather than hang waiting for itself.
TEST(SafeReplace, SignalWaitsForAnOpenByPathThenRemovesIt) {
  for (const bool to_opener : {false, true}) {
    scratch_dir dir;
    write_file(dir.file("f"), old_content);
    const pid_t pid = fork();
    if (pid == 0) {
      alarm(10);  // a hang ends as SIGALRM
      signal(SIGTERM, SIG_DFL);
      install_output_signal_handlers();
      output_file out;
      if (prepare_output_path(&out, dir.file("f")) != path_ready) _exit(3);
      std::atomic<bool> inside{false};
      std::thread opener([&]() {
        const temporary_opened_by_path opening;
        inside.store(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (std::FILE *f = std::fopen(output_write_path(&out).c_str(), "wb")) std::fclose(f);
        write_file(dir.file("reopened"), "");
      });
      while (!inside.load()) std::this_thread::yield();
      if (to_opener) {
        pthread_kill(opener.native_handle(), SIGTERM);
      } else {
        kill(getpid(), SIGTERM);
      }
      opener.join();
      for (;;) pause();
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status << " " << to_opener;
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"f", "reopened"})) << to_opener;
    EXPECT_EQ(read_file(dir.file("f")), old_content);
  }
}

// What a whole-files-only open of name meets: refused (errno, and a reason),
// the file untouched and no temporary left.
void expect_refused_whole(const scratch_dir &dir, const std::string &name, int error_number,
                          const std::vector<std::string> &names) {
  output_policy whole;
  whole.whole_files_only = true;
  output_file out;
  errno = 0;
  EXPECT_FALSE(open_output_file(&out, name, whole)) << name;
  EXPECT_EQ(errno, error_number) << name;
  EXPECT_EQ(out.error_number, error_number) << name;
  EXPECT_NE(out.refusal.find("cannot be replaced whole"), std::string::npos) << out.refusal;
  EXPECT_EQ(read_file(name), old_content) << name;
  EXPECT_EQ(entries(dir.path()), names);
  output_file prepared;
  EXPECT_EQ(prepare_output_path(&prepared, name, whole), path_cannot_open) << name;
  EXPECT_EQ(entries(dir.path()), names);
}

TEST(SafeReplace, WholeFilesOnlyRefusesWhatWouldBeWrittenInPlace) {
  scratch_dir dir;
  write_file(dir.file("a"), old_content);
  ASSERT_EQ(link(dir.file("a").c_str(), dir.file("b").c_str()), 0);
  expect_refused_whole(dir, dir.file("a"), EMLINK, {"a", "b"});
  // Through /proc/: the file behind a descriptor.
  const int fd = open(dir.file("a").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  unlink(dir.file("b").c_str());
  expect_refused_whole(dir, "/proc/self/fd/" + std::to_string(fd), EPERM, {"a"});
  close(fd);
  // galaxy-ic's own policy writes such files in place, as fopen would.
  ASSERT_EQ(link(dir.file("a").c_str(), dir.file("b").c_str()), 0);
  output_file out;
  ASSERT_TRUE(open_output_file(&out, dir.file("a")));
  EXPECT_TRUE(out.temporary.empty());
  std::fputs("new\n", out.file);
  EXPECT_EQ(commit_output_file(&out, true), output_committed);
  EXPECT_EQ(read_file(dir.file("b")), "new\n");
}

TEST(SafeReplace, WholeFilesOnlyRefusesADirectoryWithoutRoomForATemporary) {
  // A user who may write the file but not its directory (root may do both:
  // the check runs as nobody).
  scratch_dir dir;
  const std::string sub = dir.file("sealed");
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  write_file(sub + "/f", old_content);
  const uid_t nobody = 65534;
  if (geteuid() == 0) {
    ASSERT_EQ(chown(dir.path().c_str(), nobody, nobody), 0);
    ASSERT_EQ(chown(sub.c_str(), nobody, nobody), 0);
    ASSERT_EQ(chown((sub + "/f").c_str(), nobody, nobody), 0);
  }
  ASSERT_EQ(chmod(sub.c_str(), 0555), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(nobody) != 0 || setuid(nobody) != 0)) _exit(3);
    output_policy whole;
    whole.whole_files_only = true;
    output_file out;
    const bool opened = open_output_file(&out, sub + "/f", whole);
    _exit(!opened && errno == EACCES && out.refusal.find("no temporary file") != std::string::npos ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  chmod(sub.c_str(), 0755);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(read_file(sub + "/f"), old_content);
  EXPECT_EQ(entries(sub), std::vector<std::string>{"f"});
}

// How long fn takes, in seconds.
template <class Fn>
double seconds_of(Fn fn) {
  const auto start = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(WaitingStream, CancelEndsEveryWaitOnAFifo) {
  scratch_dir dir;
  const std::string fifo = dir.file("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::atomic<bool> cancel{false};
  output_policy policy;
  policy.cancel = &cancel;
  std::thread canceller;
  auto cancel_soon = [&]() {
    cancel = false;
    canceller = std::thread([&]() {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      cancel = true;
    });
  };

  // No reader ever comes.
  cancel_soon();
  output_file out;
  bool opened = true;
  EXPECT_LT(seconds_of([&]() { opened = open_output_file(&out, fifo, policy); }), 2.0);
  canceller.join();
  EXPECT_FALSE(opened);
  EXPECT_EQ(out.error_number, EINTR);

  // A reader that holds the FIFO open and never reads: the pipe fills.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ASSERT_TRUE(open_output_file(&out, fifo, policy));
  cancel_soon();
  const std::string block(1 << 20, 'x');
  bool written = true;
  EXPECT_LT(seconds_of([&]() {
              for (int k = 0; k < 16 && written; ++k) written = std::fwrite(block.data(), 1, block.size(), out.file) == block.size();
              written = written && std::fflush(out.file) == 0;
            }),
            2.0);
  canceller.join();
  EXPECT_FALSE(written);
  discard_output_file(&out);
  close(reader);

  // A reader waiting for a writer that never comes.
  cancel_soon();
  std::FILE *in = open_fifo_for_reading(fifo, &cancel);
  ASSERT_NE(in, nullptr);
  char byte;
  size_t got = 1;
  EXPECT_LT(seconds_of([&]() { got = std::fread(&byte, 1, 1, in); }), 2.0);
  canceller.join();
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(std::ferror(in));
  std::fclose(in);
}

TEST(WaitingStream, AFifoReadsWhatItsWriterWroteToTheEnd) {
  scratch_dir dir;
  const std::string fifo = dir.file("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::atomic<bool> cancel{false};
  std::FILE *in = open_fifo_for_reading(fifo, &cancel);
  ASSERT_NE(in, nullptr);
  const std::string &text = reference(3000);
  std::thread writer([&]() {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // after the reader waits
    write_file(fifo, text);
  });
  std::string got;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) got.append(buffer, n);
  writer.join();
  EXPECT_FALSE(std::ferror(in));
  EXPECT_EQ(got, text);
  std::fclose(in);
}

TEST(SafeReplace, FifoWrittenInPlaceAndItsReaderMayQuit) {
  scratch_dir dir;
  const std::string fifo = dir.file("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  // A reader that reads everything gets the file; the FIFO stays a FIFO.
  std::string got;
  std::thread reader([&]() { got = read_file(fifo); });
  EXPECT_EQ(run_program(program, {"-p", "1000", "-o", "pipe"}, dir.path()).status, 0);
  reader.join();
  EXPECT_EQ(got, reference(1000));

  // A reader that quits early: SIGPIPE becomes a write error.
  std::thread quitter([&]() {
    const int fd = open(fifo.c_str(), O_RDONLY);
    char byte;
    EXPECT_EQ(read(fd, &byte, 1), 1);
    close(fd);
  });
  const run_result r = run_program(program, {"-p", "100000", "-o", "pipe"}, dir.path());
  quitter.join();
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "erreur: fwrite cannot write pipe");
  EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}

TEST(SafeReplace, LostUsageTextIsAFailure) {
  if (!file_exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  scratch_dir dir;
  const int full = open("/dev/full", O_WRONLY);
  const pid_t pid = test_support::start_program(program, {"-h"}, dir.path(), full, "/dev/null");
  close(full);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

}  // namespace
