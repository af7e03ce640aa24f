#include "agent/console.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

// Each case runs in a child of its own, which may close its standard
// descriptors, chroot or lose its privileges. The child reports what went
// wrong on a pipe kept above the standard descriptors; empty means passed.
namespace {

constexpr int kReportFd = 40;

void child_fail(const char *what) {
  ssize_t written = write(kReportFd, what, strlen(what));
  (void)written;
  _exit(1);
}

void child_check(bool ok, const char *what) {
  if (!ok) child_fail(what);
}
#define CHILD_CHECK(cond) child_check(cond, #cond)

// Runs `body` in a child and returns its report, or how it died.
template <typename Body>
std::string in_child(Body body) {
  int report[2];
  if (pipe(report) != 0) return "pipe failed";
  (void)fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(report[0]);
    dup2(report[1], kReportFd);
    close(report[1]);
    body();
    _exit(0);
  }
  close(report[1]);
  std::string text;
  char buf[256];
  for (ssize_t n; (n = read(report[0], buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
  close(report[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) return text + " killed by signal " + std::to_string(WTERMSIG(status));
  if (text.empty() && WEXITSTATUS(status) != 0)
    return "exit " + std::to_string(WEXITSTATUS(status));
  return text;
}

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

bool same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_rdev == b.st_rdev;
}

// The lowest descriptor number from `from` on that is free.
int lowest_free(int from) {
  int fd = fcntl(kReportFd, F_DUPFD, from);
  close(fd);
  return fd;
}

struct ClosedCase {
  const char *closed;  // which of "012" the starter closed
};

TEST(ConsoleStdOpen, PutsDevNullOnEveryClosedDescriptor) {
  const ClosedCase cases[] = {{""}, {"0"}, {"1"}, {"2"}, {"12"}, {"02"}, {"012"}};
  struct stat devnull;
  ASSERT_EQ(stat("/dev/null", &devnull), 0);
  for (const ClosedCase &c : cases) {
    SCOPED_TRACE(std::string("closed: ") + c.closed);
    EXPECT_EQ(in_child([&] {
                struct stat before[3];
                for (int fd = 0; fd < 3; ++fd) {
                  // The test's own descriptors may be anything: make them files.
                  if (strchr(c.closed, '0' + fd) != nullptr) {
                    close(fd);
                    continue;
                  }
                  CHILD_CHECK(dup2(kReportFd, fd) == fd && fstat(fd, &before[fd]) == 0);
                }
                int free_above = lowest_free(3);
                CHILD_CHECK(console_std_open());
                for (int fd = 0; fd < 3; ++fd) {
                  struct stat now;
                  CHILD_CHECK(fstat(fd, &now) == 0);
                  bool was_closed = strchr(c.closed, '0' + fd) != nullptr;
                  CHILD_CHECK(same_file(now, was_closed ? devnull : before[fd]));
                  CHILD_CHECK(!was_closed || (fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDWR);
                }
                // Nothing was left open above the standard three.
                CHILD_CHECK(lowest_free(0) == free_above);
              }),
              "");
  }
}

bool write_file(const std::string &path, const char *text) {
  int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0) return false;
  bool whole = write(fd, text, strlen(text)) == ssize_t(strlen(text));
  return close(fd) == 0 && whole;
}

// chroot needs CAP_SYS_CHROOT. Root has it; anyone else gets it in a user
// namespace of their own, where they are mapped to root.
bool may_chroot() {
  if (geteuid() == 0) return true;
  char uid_map[32];
  char gid_map[32];
  (void)snprintf(uid_map, sizeof uid_map, "0 %u 1", unsigned(geteuid()));
  (void)snprintf(gid_map, sizeof gid_map, "0 %u 1", unsigned(getegid()));
  return unshare(CLONE_NEWUSER) == 0 && write_file("/proc/self/uid_map", uid_map) &&
         write_file("/proc/self/setgroups", "deny") && write_file("/proc/self/gid_map", gid_map);
}

const char kNoChroot[] = "chroot needs root or a user namespace: ";

// Runs `body` in a child whose root is an empty folder, without /dev, and
// without capabilities: with CAP_DAC_READ_SEARCH it would read "/" whatever
// its mode. The child owns the folder, so the owner's bits decide.
template <typename Body>
std::string in_empty_root(mode_t root_mode, Body body) {
  char dir[] = "/tmp/kelvorn-console-XXXXXX";
  if (mkdtemp(dir) == nullptr || chmod(dir, root_mode) != 0) return "no folder for the root";
  std::string report = in_child([&] {
    if (!may_chroot()) {
      std::string why = kNoChroot + std::string(strerror(errno));
      child_fail(why.c_str());
    }
    CHILD_CHECK(chroot(dir) == 0 && chdir("/") == 0);
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    CHILD_CHECK(syscall(SYS_capset, &header, none) == 0);
    body();
  });
  rmdir(dir);
  return report;
}

TEST(ConsoleStdOpen, WithoutDevNullTakesTheRootDirectory) {
  std::string report = in_empty_root(0700, [] {
    int free_above = lowest_free(3);
    close(1);
    CHILD_CHECK(console_std_open());
    struct stat st;
    CHILD_CHECK(fstat(1, &st) == 0 && S_ISDIR(st.st_mode));
    // What would have been console lines goes nowhere.
    CHILD_CHECK(write(1, "x", 1) == -1);
    CHILD_CHECK(lowest_free(0) == free_above);
  });
  if (report.rfind(kNoChroot, 0) == 0) GTEST_SKIP() << report;
  EXPECT_EQ(report, "");
}

TEST(ConsoleStdOpen, RefusesWhenNothingCanFillTheGap) {
  // "/" searchable but not readable.
  std::string report = in_empty_root(0300, [] {
    close(1);
    CHILD_CHECK(!console_std_open());
    CHILD_CHECK(!is_open(1));
  });
  if (report.rfind(kNoChroot, 0) == 0) GTEST_SKIP() << report;
  EXPECT_EQ(report, "");
}

TEST(ConsoleStdOpen, RefusesWhenNoDescriptorIsLeft) {
  EXPECT_EQ(in_child([] {
              // Room for descriptor 0 only (kReportFd was opened before).
              close(1);
              close(2);
              struct rlimit one = {1, 1};
              CHILD_CHECK(setrlimit(RLIMIT_NOFILE, &one) == 0);
              CHILD_CHECK(!console_std_open());
              CHILD_CHECK(!is_open(1) && !is_open(2));
            }),
            "");
}

TEST(ConsoleBegin, WriteToAVanishedReaderDoesNotKill) {
  EXPECT_EQ(in_child([] {
              int out[2];
              CHILD_CHECK(pipe(out) == 0 && dup2(out[1], 1) == 1);
              close(out[0]);
              close(out[1]);
              console_begin();
              printf("kelvorn\n");
              CHILD_CHECK(fflush(stdout) == EOF && errno == EPIPE);
            }),
            "");
}

TEST(ConsoleHandover, TheShellStartsWithSigpipeDefault) {
  EXPECT_EQ(
      in_child([] {
        console_begin();
        console_handover();
        // SigIgn is a hex mask; SIGPIPE (13) is bit 12.
        // NOLINTNEXTLINE(cert-env33-c): the shell is what is under test
        int status = system(
            "exit $(( 0x$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/self/status) >> 12 & 1 ))");
        CHILD_CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      }),
      "");
}

}  // namespace
