// The matcher, the pid parser, the link reader and the named-link probes, seen
// from inside the process killer: this file compiles the module itself so that
// its internal functions are in reach.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ProcessKiller.cpp"
#include "support.h"

namespace {

struct MatchCase {
  const char* mount_point;
  const char* path;
  int expected;
};

class MatcherTable : public testing::TestWithParam<MatchCase> {};

TEST_P(MatcherTable, JudgesPathAgainstMountPoint) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(PathMatchesMountPoint(c.path, c.mount_point), c.expected)
      << "mount point \"" << c.mount_point << "\", path \"" << c.path << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    ProcessKiller, MatcherTable,
    testing::Values(
        MatchCase{"/mnt/disk", "/mnt/disk", 1}, MatchCase{"/mnt/disk", "/mnt/disk/dir/file", 1},
        MatchCase{"/mnt/disk", "/mnt/disk2/file", 0}, MatchCase{"/mnt/disk", "/mnt/disk2", 0},
        MatchCase{"/mnt/disk", "/mnt/dis", 0}, MatchCase{"/mnt/disk", "/mnt", 0},
        MatchCase{"/mnt/disk", "", 0}, MatchCase{"/mnt/disk/", "/mnt/disk/file", 1},
        MatchCase{"/mnt/disk/", "/mnt/disk/", 1}, MatchCase{"/mnt/disk/", "/mnt/disk", 0},
        MatchCase{"/", "/any/path", 0}, MatchCase{"/", "/", 0}, MatchCase{"", "/any/path", 0},
        MatchCase{"m", "m", 0}, MatchCase{"/m", "/m/file", 1},
        MatchCase{"/mnt/disk", "socket:[1234]", 0}, MatchCase{"/mnt/disk", "pipe:[1234]", 0},
        MatchCase{"/mnt/disk", "anon_inode:[eventfd]", 0}, MatchCase{"/mnt/disk", "/mnt/disk\n", 0},
        MatchCase{"/mnt/disk", "/mnt/disk/lib.so\n", 1},
        MatchCase{"/mnt/disk", "/mnt/disk (deleted)", 0},
        MatchCase{"/mnt/disk", "/mnt/disk/file (deleted)", 1},
        MatchCase{"/mnt/disk", "/MNT/DISK/file", 0}, MatchCase{"mnt/disk", "/mnt/disk/file", 0},
        MatchCase{"mnt/disk", "mnt/disk/file", 1}, MatchCase{"//mnt/disk", "/mnt/disk/file", 0},
        MatchCase{"/mnt/../mnt/disk", "/mnt/disk", 0}));

struct PidCase {
  const char* name;
  int expected;
};

class PidTable : public testing::TestWithParam<PidCase> {};

TEST_P(PidTable, ParsesOnlyDecimalNamesThatFit) {
  EXPECT_EQ(get_pid(GetParam().name), GetParam().expected) << "name \"" << GetParam().name << "\"";
}

INSTANTIATE_TEST_SUITE_P(ProcessKiller, PidTable,
                         testing::Values(PidCase{"1", 1}, PidCase{"4321", 4321}, PidCase{"007", 7},
                                         PidCase{"", 0}, PidCase{".", -1}, PidCase{"..", -1},
                                         PidCase{"self", -1}, PidCase{"12a", -1},
                                         PidCase{"a12", -1}, PidCase{"-1", -1}, PidCase{"+1", -1},
                                         PidCase{" 1", -1}, PidCase{"2147483647", 2147483647},
                                         PidCase{"2147483648", -1}, PidCase{"4294967297", -1},
                                         PidCase{"99999999999999999999", -1}));

class LinkReader : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir();
    ASSERT_FALSE(dir_.empty());
  }
  std::string dir_;
  char target_[kPathSize];
};

TEST_F(LinkReader, ReadsTheTargetOfALink) {
  const std::string link = dir_ + "/link";
  ASSERT_EQ(symlink("/mnt/disk/file", link.c_str()), 0);
  ASSERT_EQ(ReadSymLink(link.c_str(), target_), 1);
  EXPECT_STREQ(target_, "/mnt/disk/file");
}

TEST_F(LinkReader, ReadsADanglingLink) {
  const std::string link = dir_ + "/dangling";
  ASSERT_EQ(symlink("/no/such/file", link.c_str()), 0);
  ASSERT_EQ(ReadSymLink(link.c_str(), target_), 1);
  EXPECT_STREQ(target_, "/no/such/file");
}

TEST_F(LinkReader, RefusesWhatIsNotALink) {
  const std::string file = dir_ + "/file";
  ASSERT_TRUE(MakePath(file, true));
  EXPECT_EQ(ReadSymLink(file.c_str(), target_), 0);
  EXPECT_EQ(ReadSymLink(dir_.c_str(), target_), 0);
  EXPECT_EQ(ReadSymLink((dir_ + "/missing").c_str(), target_), 0);
}

TEST_F(LinkReader, ReadsTheLongestTargetWholeWithinItsBuffer) {
  // The longest target a link can have; the kernel refuses longer ones.
  const std::string longest(kPathSize - 1, 'x');
  const std::string link = dir_ + "/long";
  ASSERT_EQ(symlink(longest.c_str(), link.c_str()), 0);
  memset(target_, '#', sizeof(target_));
  ASSERT_EQ(ReadSymLink(link.c_str(), target_), 1);
  EXPECT_EQ(target_[kPathSize - 1], '\0');
  EXPECT_EQ(std::string(target_), longest);
}

// The named-link probes against real children. Matching is by string, so a
// plain directory stands in for a mount point.
class NamedLinkProbes : public testing::Test {
 protected:
  void SetUp() override {
    base_ = MakeTempDir();
    ASSERT_FALSE(base_.empty());
    mount_point_ = base_ + "/disk";
    ASSERT_TRUE(MakePath(mount_point_ + "/deep/er"));
    ASSERT_TRUE(MakePath(base_ + "/disk2"));
  }
  std::string base_;
  std::string mount_point_;
};

pid_t SpawnWithCwd(const std::string& cwd) {
  return SpawnChild([&] { return chdir(cwd.c_str()) == 0; });
}

TEST_F(NamedLinkProbes, WorkingDirectoryUnderTheMountPointIsAHit) {
  const pid_t deep = SpawnWithCwd(mount_point_ + "/deep/er");
  const pid_t at = SpawnWithCwd(mount_point_);
  const pid_t sibling = SpawnWithCwd(base_ + "/disk2");
  const pid_t parent = SpawnWithCwd(base_);
  ASSERT_GT(deep, 0);
  ASSERT_GT(at, 0);
  ASSERT_GT(sibling, 0);
  ASSERT_GT(parent, 0);
  const char* mp = mount_point_.c_str();
  EXPECT_EQ(CheckSymLink(deep, mp, "cwd"), 1);
  EXPECT_EQ(CheckSymLink(at, mp, "cwd"), 1);
  EXPECT_EQ(CheckSymLink(sibling, mp, "cwd"), 0);
  EXPECT_EQ(CheckSymLink(parent, mp, "cwd"), 0);
  EXPECT_EQ(CheckSymLink(deep, mp, "root"), 0);
  EXPECT_EQ(CheckSymLink(deep, mp, "exe"), 0);
  // Written with a trailing '/', the mount point still claims what lies under
  // it, but no longer its own directory, whose link has no trailing '/'.
  const std::string with_slash = mount_point_ + "/";
  EXPECT_EQ(CheckSymLink(deep, with_slash.c_str(), "cwd"), 1);
  EXPECT_EQ(CheckSymLink(at, with_slash.c_str(), "cwd"), 0);
  for (pid_t pid : {deep, at, sibling, parent}) EXPECT_EQ(SignalThatEnded(pid), SIGVTALRM);
}

TEST_F(NamedLinkProbes, ChrootUnderTheMountPointIsAHit) {
  const std::string jail = mount_point_ + "/deep";
  const pid_t pid = SpawnChild([&] { return chroot(jail.c_str()) == 0; });
  ASSERT_GT(pid, 0);
  EXPECT_EQ(CheckSymLink(pid, mount_point_.c_str(), "root"), 1);
  EXPECT_EQ(CheckSymLink(pid, mount_point_.c_str(), "cwd"), 0);
  EXPECT_EQ(SignalThatEnded(pid), SIGVTALRM);
}

TEST_F(NamedLinkProbes, ExecutableUnderTheMountPointIsAHit) {
  const std::string shell = mount_point_ + "/deep/sh";
  const std::string copy = "cp /bin/sh " + shell;
  ASSERT_EQ(system(copy.c_str()), 0);
  const char* const args[] = {"sh", "-c", "echo ready; read line", nullptr};
  const pid_t pid = SpawnProgram(shell.c_str(), args, "/");
  ASSERT_GT(pid, 0);
  EXPECT_EQ(CheckSymLink(pid, mount_point_.c_str(), "exe"), 1);
  EXPECT_EQ(CheckSymLink(pid, mount_point_.c_str(), "cwd"), 0);
  EXPECT_EQ(CheckSymLink(pid, (base_ + "/disk2").c_str(), "exe"), 0);
  EXPECT_EQ(SignalThatEnded(pid), SIGVTALRM);
}

TEST_F(NamedLinkProbes, ProcessThatIsGoneIsNoHit) {
  const pid_t pid = SpawnWithCwd(mount_point_);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(SignalThatEnded(pid), SIGVTALRM);
  EXPECT_EQ(CheckSymLink(pid, mount_point_.c_str(), "cwd"), 0);
  EXPECT_EQ(HoldsMountPoint(pid, mount_point_.c_str()), 0);
}

}  // namespace
