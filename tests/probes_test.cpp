// The matcher, the pid parser, the link reader and the named-link probes, seen
// from inside the process killer, and the parsers of what keeps a mount busy
// with no process: this file compiles both modules so that their internal
// functions are in reach.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/fsuid.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Matcher.cpp"
#include "MountNamespaces.cpp"
#include "MountTable.cpp"
#include "OtherHolders.cpp"
#include "ProcFiles.cpp"
#include "ProcessKiller.cpp"
#include "Propagation.cpp"
#include "UnixSockets.cpp"
#include "support.h"

namespace {

// With no bound socket noted, the mount tables read afresh (or, without
// `read`, not at all: the path decides), the process alone, not its threads,
// and what hit in g_found.
BusyMounts g_mounts;
Sweep g_sweep;
Holding g_found;
Sweep* SweepOf(const char* mount_point, bool read = true) {
  StartBusyMounts(mount_point, nullptr, &g_mounts);
  if (read) ReadBusyMounts(&g_mounts);
  g_sweep.mounts = &g_mounts;
  StartBoundSockets(g_mounts.paths.text, g_mounts.paths.count, 0, &g_sweep.sockets);
  return &g_sweep;
}
int CheckFileDescriptorSymLinks(pid_t pid, const char* mount_point) {
  return CheckFileDescriptorSymLinks(pid, SweepOf(mount_point), &g_found);
}
int HoldsMountPoint(pid_t pid, const char* mount_point) {
  return HoldsMountPoint(pid, SweepOf(mount_point), 0, &g_found);
}
int CheckSymLink(pid_t pid, const char* mount_point, const char* link_name) {
  return CheckSymLink(pid, SweepOf(mount_point), link_name, BUSYUMOUNT_CWD, &g_found);
}
int CheckFileMaps(pid_t pid, const char* mount_point) {
  return CheckFileMaps(pid, SweepOf(mount_point), &g_found);
}

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
  ASSERT_EQ(ReadSymLink(AT_FDCWD, link.c_str(), target_), 1);
  EXPECT_STREQ(target_, "/mnt/disk/file");
}

TEST_F(LinkReader, ReadsADanglingLink) {
  const std::string link = dir_ + "/dangling";
  ASSERT_EQ(symlink("/no/such/file", link.c_str()), 0);
  ASSERT_EQ(ReadSymLink(AT_FDCWD, link.c_str(), target_), 1);
  EXPECT_STREQ(target_, "/no/such/file");
}

TEST_F(LinkReader, RefusesWhatIsNotALink) {
  const std::string file = dir_ + "/file";
  ASSERT_TRUE(MakePath(file, true));
  EXPECT_EQ(ReadSymLink(AT_FDCWD, file.c_str(), target_), 0);
  EXPECT_EQ(ReadSymLink(AT_FDCWD, dir_.c_str(), target_), 0);
  EXPECT_EQ(ReadSymLink(AT_FDCWD, (dir_ + "/missing").c_str(), target_), 0);
}

TEST_F(LinkReader, ReadsALinkRelativeToAnOpenDirectory) {
  ASSERT_EQ(symlink("/mnt/disk/file", (dir_ + "/link").c_str()), 0);
  ASSERT_TRUE(MakePath(dir_ + "/file", true));
  const int directory = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(directory, 0);
  ASSERT_EQ(ReadSymLink(directory, "link", target_), 1);
  EXPECT_STREQ(target_, "/mnt/disk/file");
  EXPECT_EQ(ReadSymLink(directory, "file", target_), 0);
  EXPECT_EQ(ReadSymLink(directory, "missing", target_), 0);
  close(directory);
}

TEST_F(LinkReader, ReadsTheLongestTargetWholeWithinItsBuffer) {
  // The longest target a link can have; the kernel refuses longer ones.
  const std::string longest(kPathSize - 1, 'x');
  const std::string link = dir_ + "/long";
  ASSERT_EQ(symlink(longest.c_str(), link.c_str()), 0);
  memset(target_, '#', sizeof(target_));
  ASSERT_EQ(ReadSymLink(AT_FDCWD, link.c_str(), target_), 1);
  EXPECT_EQ(target_[kPathSize - 1], '\0');
  EXPECT_EQ(std::string(target_), longest);
}

// The named-link probes against real children. Matching is by string, so a
// plain directory stands in for a mount point.
class NamedLinkProbes : public ScratchMountPoint {};

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

namespace {

// The descriptor and mapping probes against real children.
class FileProbes : public ScratchMountPoint {};

TEST_F(FileProbes, OpenFileDeepUnderTheMountPointIsAHit) {
  const pid_t pid = SpawnChild([&] { return HoldOpen(file_); });
  ASSERT_GT(pid, 0);
  EXPECT_EQ(CheckFileDescriptorSymLinks(pid, mount_point_.c_str()), 1);
  EXPECT_EQ(CheckFileDescriptorSymLinks(pid, (base_ + "/disk2").c_str()), 0);
  EXPECT_EQ(CheckFileMaps(pid, mount_point_.c_str()), 0);
  EXPECT_EQ(SignalThatEnded(pid), SIGVTALRM);
}

TEST_F(FileProbes, HitAfterManyDescriptorsIsFound) {
  // More entries than one read of the descriptor directory brings in.
  const pid_t pid = SpawnChild([&] {
    const rlimit files = {4096, 4096};
    if (setrlimit(RLIMIT_NOFILE, &files) != 0) return false;
    for (int i = 0; i < 2000; ++i) {
      if (!HoldOpen(base_ + "/disk2/file")) return false;
    }
    return HoldOpen(file_);
  });
  ASSERT_GT(pid, 0);
  EXPECT_EQ(CheckFileDescriptorSymLinks(pid, mount_point_.c_str()), 1);
  EXPECT_EQ(SignalThatEnded(pid), SIGVTALRM);
}

TEST_F(FileProbes, OpenMountPointDirectoryIsAHit) {
  const pid_t pid = SpawnChild([&] { return HoldOpen(mount_point_); });
  ASSERT_GT(pid, 0);
  EXPECT_EQ(CheckFileDescriptorSymLinks(pid, mount_point_.c_str()), 1);
  EXPECT_EQ(SignalThatEnded(pid), SIGVTALRM);
}

TEST_F(FileProbes, DescriptorsWithoutPathsAreNoHits) {
  const pid_t pid = SpawnChild([&] {
    int pipe_ends[2];
    int socket_ends[2];
    return pipe(pipe_ends) == 0 && socketpair(AF_UNIX, SOCK_STREAM, 0, socket_ends) == 0 &&
           eventfd(0, 0) >= 0 && epoll_create1(0) >= 0 && HoldOpen(base_ + "/disk2/file") &&
           HoldOpen(base_);
  });
  ASSERT_GT(pid, 0);
  EXPECT_EQ(CheckFileDescriptorSymLinks(pid, mount_point_.c_str()), 0);
  EXPECT_EQ(HoldsMountPoint(pid, mount_point_.c_str()), 0);
  EXPECT_EQ(SignalThatEnded(pid), SIGVTALRM);
}

TEST_F(FileProbes, MappingWithoutDescriptorIsAHitForTheMapsProbe) {
  const pid_t pid = SpawnChild([&] { return MapWithoutDescriptor(file_); });
  ASSERT_GT(pid, 0);
  EXPECT_EQ(CheckFileDescriptorSymLinks(pid, mount_point_.c_str()), 0);
  EXPECT_EQ(CheckFileMaps(pid, mount_point_.c_str()), 1);
  EXPECT_EQ(CheckFileMaps(pid, (base_ + "/disk2").c_str()), 0);
  EXPECT_EQ(HoldsMountPoint(pid, mount_point_.c_str()), 1);
  EXPECT_EQ(SignalThatEnded(pid), SIGVTALRM);
}

// Creates the directories of `relative` one by one below the current
// directory and enters them, so that the path may exceed PATH_MAX.
bool EnterNewDirectories(const std::string& relative) {
  size_t start = 0;
  while (start < relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string name = relative.substr(start, end - start);
    if (!name.empty() &&
        ((mkdir(name.c_str(), 0755) != 0 && errno != EEXIST) || chdir(name.c_str()) != 0)) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

// Maps "file" in the directory `relative` below `from`, which it creates, and
// returns to "/".
bool MapFileAt(const std::string& from, const std::string& relative) {
  return chdir(from.c_str()) == 0 && EnterNewDirectories(relative) && MakePath("file", true) &&
         MapWithoutDescriptor("file") && chdir("/") == 0;
}

// Returns `count` characters of names joined by '/', each at most 200 long.
std::string LongRelativePath(size_t count) {
  std::string path;
  while (path.size() < count) {
    if (!path.empty()) path += '/';
    path += std::string(std::min<size_t>(200, count - path.size()), 'd');
  }
  return path;
}

TEST_F(FileProbes, LongMappedPathUnderTheMountPointIsAHit) {
  // Its map line is longer than the line buffer; the first piece tells.
  const pid_t pid =
      SpawnChild([&] { return MapFileAt(mount_point_, LongRelativePath(kMapsLineSize)); });
  ASSERT_GT(pid, 0);
  EXPECT_EQ(CheckFileMaps(pid, mount_point_.c_str()), 1);
  EXPECT_EQ(SignalThatEnded(pid), SIGVTALRM);
}

TEST_F(FileProbes, LongMappedPathThatOnlyContainsTheMountPointIsNoHit) {
  // A bystander maps a file whose path runs past the line buffer and goes on,
  // in the next piece, with a copy of the mount point's path:
  // <base>/ddd.../zzz<mount point>/file. The piece starts inside the zzz name.
  constexpr size_t kPieceStart = kMapsLineSize - 1;  // fgets reads one less
  constexpr size_t kFieldsBeforePath = 73;           // as a 64-bit kernel pads them
  constexpr size_t kSlack = 100;
  const std::string outside = base_ + "/outside";
  ASSERT_TRUE(MakePath(outside));
  const size_t z_start = kPieceStart - kFieldsBeforePath - kSlack;
  const std::string relative = LongRelativePath(z_start - outside.size() - 2) + "/" +
                               std::string(2 * kSlack, 'z') + mount_point_;
  const pid_t pid = SpawnChild([&] { return MapFileAt(outside, relative); });
  ASSERT_GT(pid, 0);

  // Check that the map line really breaks inside the zzz name.
  char maps_path[64];
  snprintf(maps_path, sizeof(maps_path), "/proc/%d/maps", pid);
  FILE* maps = fopen(maps_path, "r");
  ASSERT_NE(maps, nullptr);
  std::string line;
  for (int c; (c = fgetc(maps)) != EOF;) {
    line += static_cast<char>(c);
    if (c != '\n') continue;
    if (line.find("zzz") != std::string::npos) break;
    line.clear();
  }
  fclose(maps);
  ASSERT_GT(line.size(), kPieceStart);
  const std::string next_piece = line.substr(kPieceStart);
  ASSERT_EQ(next_piece.substr(next_piece.find('/')), mount_point_ + "/file\n");

  EXPECT_EQ(CheckFileMaps(pid, mount_point_.c_str()), 0);
  EXPECT_EQ(HoldsMountPoint(pid, mount_point_.c_str()), 0);
  EXPECT_EQ(SignalThatEnded(pid), SIGVTALRM);
}

struct MapsCase {
  const char* name;
  std::string text;
  int expected;
};

class MapsLines : public testing::TestWithParam<MapsCase> {};

TEST_P(MapsLines, JudgesEachLineByTheFileItNames) {
  const std::string& text = GetParam().text;
  FILE* maps = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  ASSERT_NE(maps, nullptr);
  EXPECT_EQ(CheckMapsStream(maps, getpid(), SweepOf("/mnt/disk", false), &g_found),
            GetParam().expected);
  fclose(maps);
}

const std::string kFields = "7f4e9210a000-7f4e9210b000 r--s 00000000 fe:00 10953283   ";
const std::string kPieceTail(kMapsLineSize - 1 - kFields.size(), 'x');

INSTANTIATE_TEST_SUITE_P(
    ProcessKiller, MapsLines,
    testing::Values(
        MapsCase{"Empty", "", 0}, MapsCase{"Anonymous", kFields + "\n", 0},
        MapsCase{"Stack", kFields + "[stack]\n" + kFields + "[vdso]\n", 0},
        MapsCase{"NamedRegion", kFields + "[anon:dalvik-/mnt/disk/boot.art]\n", 0},
        MapsCase{"NamedRegionWithBlanks", kFields + "[anon:dex from /mnt/disk/base.apk]\n", 0},
        MapsCase{"NamedRegionThatIsAPath", kFields + "[anon:/mnt/disk]\n", 0},
        MapsCase{"FileWithABracket", kFields + "/mnt/disk/[x]/lib.so\n", 1},
        MapsCase{"Library", kFields + "/lib/libc.so\n" + kFields + "/mnt/disk/lib/a.so\n", 1},
        MapsCase{"DeletedFile", kFields + "/mnt/disk/data (deleted)\n", 1},
        MapsCase{"MountPointItself", kFields + "/mnt/disk\n", 0},
        MapsCase{"MountPointItselfAtEndWithoutNewline", kFields + "/mnt/disk", 1},
        MapsCase{"Sibling", kFields + "/mnt/disk2/lib.so\n", 0},
        MapsCase{"LastLineWithoutNewline", kFields + "/lib/a.so\n" + kFields + "/mnt/disk/b", 1},
        MapsCase{"LongLineStartingUnderTheMountPoint",
                 kFields + "/mnt/disk/" + std::string(5000, 'a') + "\n", 1},
        MapsCase{"NextPieceOfALongLine", kFields + kPieceTail + "/mnt/disk/lib.so\n", 0},
        MapsCase{"LineAfterALongLine",
                 kFields + "/x/" + std::string(9000, 'a') + "\n" + kFields + "/mnt/disk/a\n", 1},
        MapsCase{"LineAfterALineFillingTheBuffer",
                 kFields + "/" + kPieceTail.substr(1) + "\n" + kFields + "/mnt/disk/a\n", 1}),
    [](const testing::TestParamInfo<MapsCase>& info) { return std::string(info.param.name); });

// A ring's fdinfo, and what it tells of the files registered under /mnt/disk:
// "hit <path>", "unplaced" (it names them so that nothing can be placed), or
// "nothing".
struct RingCase {
  const char* name;
  std::string text;
  std::string expected;
};

class RingInfo : public testing::TestWithParam<RingCase> {};

TEST_P(RingInfo, PlacesOnlyWhatThePathsTell) {
  const std::string& text = GetParam().text;
  FILE* info = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  ASSERT_NE(info, nullptr);
  g_found.unjudged = kJudged;
  const int hit = CheckRingStream(info, getpid(), 7, SweepOf("/mnt/disk", false), &g_found);
  fclose(info);
  const bool unplaced = g_found.unjudged == kUnplacedRing && g_found.doubt.descriptor == 7;
  EXPECT_EQ(hit > 0    ? "hit " + std::string(g_found.path)
            : hit < 0  ? std::string("no list")
            : unplaced ? std::string("unplaced")
                       : std::string("nothing"),
            GetParam().expected);
}

// The kernel lists a ring's files only to a reader that gets the ring's lock
// at once, and readers of its fdinfo take it in turn: while others read it,
// the probe reads it again until it finds the list.
TEST(RingInfo, ReadAgainWhileOthersReadIt) {
  const std::string dir = MakeTempDir(), file = dir + "/f";
  const pid_t holder =
      SpawnChild([&] { return MakePath(file, true) && RegisterWithIoUring(file) >= 0; });
  if (holder < 0) GTEST_SKIP() << "no io_uring to be had here";
  if (CheckFileDescriptorSymLinks(holder, dir.c_str()) != 1) {
    EXPECT_EQ(SignalThatEnded(holder), SIGVTALRM);
    GTEST_SKIP() << "this kernel names files registered with io_uring by their last component";
  }
  std::vector<pid_t> readers;
  for (int i = 0; i < 3; ++i) {
    const pid_t reader = fork();
    for (char text[4096]; reader == 0;) {
      for (int fd = 0; fd < 8; ++fd) {
        const int info =
            open(("/proc/" + std::to_string(holder) + "/fdinfo/" + std::to_string(fd)).c_str(),
                 O_RDONLY);
        if (info >= 0 && read(info, text, sizeof(text)) >= 0) close(info);
      }
    }
    readers.push_back(reader);
  }
  int hits = 0;
  for (int i = 0; i < 200; ++i) hits += CheckFileDescriptorSymLinks(holder, dir.c_str());
  for (pid_t reader : readers) EXPECT_EQ(SignalThatEnded(reader), SIGVTALRM);
  EXPECT_EQ(hits, 200);
  EXPECT_EQ(SignalThatEnded(holder), SIGVTALRM);
}

const std::string kRing = "pos:\t0\nflags:\t02000002\nmnt_id:\t15\nSqMask:\t0x3\n";

INSTANTIATE_TEST_SUITE_P(
    ProcessKiller, RingInfo,
    testing::Values(
        RingCase{"FileUnderIt", kRing + "UserFiles:\t1\n    0: /mnt/disk/f\nUserBufs:\t0\n",
                 "hit /mnt/disk/f"},
        RingCase{
            "BlanksEscaped",
            kRing + "UserFiles:\t1\n    0: /mnt/disk/a\\040b\\012c\\040(deleted)\nUserBufs:\t0\n",
            "hit /mnt/disk/a b\nc (deleted)"},
        RingCase{"Sibling", kRing + "UserFiles:\t1\n    0: /mnt/disk2/f\nUserBufs:\t0\n",
                 "nothing"},
        RingCase{"SlotsLeftEmpty",
                 kRing + "UserFiles:\t4\n    1: /x\n    3: /mnt/disk/f\nUserBufs:\t0\n",
                 "hit /mnt/disk/f"},
        RingCase{"NoFiles", kRing + "UserFiles:\t0\nUserBufs:\t0\n", "nothing"},
        // Up to Linux 6.12 at least: the last component alone, raw.
        RingCase{"LastComponentsAlone", kRing + "UserFiles:\t1\n    0: f\nUserBufs:\t0\n",
                 "unplaced"},
        RingCase{"NameThatForgesALine",
                 kRing + "UserFiles:\t2\n    0: x\n    1: /mnt/disk/f\nUserBufs:\t0\n", "unplaced"},
        RingCase{"IndexesOutOfOrder",
                 kRing + "UserFiles:\t2\n    1: /x\n    1: /mnt/disk/f\nUserBufs:\t0\n",
                 "unplaced"},
        // The kernel could not take the ring's lock.
        RingCase{"NoList", kRing + "UserFiles:\t2\nUserBufs:\t0\n", "no list"},
        RingCase{"NoFilesTold", kRing, "no list"},
        RingCase{"LineLongerThanItsBuffer",
                 kRing + "UserFiles:\t1\n    0: /mnt/disk/" + std::string(kRingLineSize, 'a') +
                     "\nUserBufs:\t0\n",
                 "unplaced"}),
    [](const testing::TestParamInfo<RingCase>& info) { return std::string(info.param.name); });

// A text of mountinfo, swaps or a binfmt_misc entry, and what it tells of
// under /mnt/disk: "<hold> <name> <path>;" each.
struct OtherCase {
  const char* name;
  OtherHold source;
  std::string text;
  std::string expected;
};

class OtherHolderTexts : public testing::TestWithParam<OtherCase> {};

TEST_P(OtherHolderTexts, TellsWhatLiesUnderTheMountPointUnescaped) {
  const OtherCase& c = GetParam();
  std::string told;
  const auto collect = [](OtherHold hold, const char* name, const char* path, void* told) {
    *static_cast<std::string*>(told) += std::to_string(hold) + " " + name + " " + path + ";";
  };
  if (c.source == kInterpreter) {
    // Beside the entry, what is no entry: the files to register and enable.
    const std::string binfmt = MakeTempDir();
    for (const char* name : {"/register", "/status", "/qemu-arm"}) {
      std::ofstream(binfmt + name) << c.text;
    }
    ReportInterpreters(binfmt.c_str(), "/mnt/disk", collect, &told);
  } else if (c.source == kSubmount) {
    const std::string table = MakeTempDir() + "/mountinfo";
    std::ofstream(table) << c.text;
    ReportSubmounts(table.c_str(), "/mnt/disk", collect, &told);
  } else {
    FILE* stream = fmemopen(const_cast<char*>(c.text.data()), c.text.size(), "r");
    ASSERT_NE(stream, nullptr);
    ReportSwapLines(stream, "/mnt/disk", collect, &told);
    fclose(stream);
  }
  EXPECT_EQ(told, c.expected);
}

std::string Repeat(const std::string& text, int times) {
  std::string repeated;
  while (times-- > 0) repeated += text;
  return repeated;
}

// A mount at /mnt/disk, then lines of mounts on it: `kOn` + mount point + `kMountEnd`.
const std::string kDisk = "35 34 0:49 / /mnt/disk rw shared:1 - tmpfs t rw\n";
const std::string kOn = "36 35 0:50 / ";
const std::string kMountEnd = " rw,relatime shared:1 - tmpfs t rw\n";
const std::string kInterpreterEntry = "disabled\ninterpreter ";
const std::string kMagic = "offset 0\nmagic 7f454c4601010100\nmask fffffffffffffff\n";
const std::string kSwaps = "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n";

INSTANTIATE_TEST_SUITE_P(
    OtherHolders, OtherHolderTexts,
    testing::Values(
        OtherCase{"SubmountsEscaped", kSubmount,
                  kDisk + kOn + "/mnt/disk/sub" + kMountEnd +
                      "37 35 0:51 / /mnt/disk/a\\040b\\134n" + kMountEnd,
                  "0  /mnt/disk/sub;0  /mnt/disk/a b\\n;"},
        // A root and a mount point of 4,095 bytes each, blanks written as four.
        OtherCase{"SubmountOnTheLongestLine", kSubmount,
                  kDisk + "36 35 0:50 /" + Repeat("\\040", 4094) + " /mnt/disk/" +
                      std::string(4085, 'b') + kMountEnd + "37 35 0:51 / /mnt/disk/sub" + kMountEnd,
                  "0  /mnt/disk/" + std::string(4085, 'b') + ";0  /mnt/disk/sub;"},
        OtherCase{"MountPointItselfAndSiblings", kSubmount,
                  kDisk + "36 34 0:50 / /mnt/disk2/s" + kMountEnd +
                      "37 34 0:51 / /mnt/disk\\012/x" + kMountEnd,
                  ""},
        // Only the top one of those stacked at the mount point is unmounted.
        OtherCase{"SubmountOfAMountStackedBelow", kSubmount,
                  kDisk + kOn + "/mnt/disk/below" + kMountEnd + "37 35 0:51 / /mnt/disk" +
                      kMountEnd + "38 37 0:52 / /mnt/disk/sub" + kMountEnd,
                  "0  /mnt/disk/sub;"},
        OtherCase{"SwapFile", kSwapFile,
                  kSwaps + "/mnt/disk/swap\\040file                     file\t\t1024\t\t0\t\t-2\n" +
                      "/dev/sda2                               partition\t2048\t\t0\t\t-3\n",
                  "1  /mnt/disk/swap file;"},
        OtherCase{"InterpreterOpenedAtRegistration", kInterpreter,
                  kInterpreterEntry + "/mnt/disk/qemu arm\nflags: POCF\n" + kMagic,
                  "2 qemu-arm /mnt/disk/qemu arm;"},
        OtherCase{"InterpreterOpenedAtEachRun", kInterpreter,
                  kInterpreterEntry + "/mnt/disk/qemu-arm\nflags: OC\n" + kMagic, ""},
        OtherCase{"InterpreterOpenedElsewhere", kInterpreter,
                  kInterpreterEntry + "/mnt/disk2/qemu-arm\nflags: F\n" + kMagic, ""}),
    [](const testing::TestParamInfo<OtherCase>& info) { return std::string(info.param.name); });

// Mount tables as the kernel wrote them in real runs, the sweeper's own
// first, each line given up to its optional fields; and what the rule takes
// for M at /x/p/m: the taken mounts, then each mount in a copy's place whose
// users count, "<namespace>:<id> <path>", "*" after one that is no copy. A
// holder on the one named last kept M busy there (none counted: it did not).
struct RuleCase {
  const char* name;
  std::vector<std::vector<std::string>> tables;
  std::string expected;
};

class RuleTables : public testing::TestWithParam<RuleCase> {};

TEST_P(RuleTables, TakeWhatTheKernelTook) {
  Taken taken;
  static Paths paths;
  static Copies copies;
  paths.count = paths.prefix_count = 0, paths.used = 0;
  copies.count = copies.link_count = 0;
  AddPath(&paths, "/x/p/m");
  std::string told = "taken";
  const std::string dir = MakeTempDir();
  const auto file = [&](size_t ns) { return dir + "/mountinfo" + std::to_string(ns); };
  for (size_t ns = 0; ns < GetParam().tables.size(); ++ns) {
    std::ofstream text(file(ns));
    for (const std::string& line : GetParam().tables[ns]) text << line << " - tmpfs t rw\n";
    text.close();
    Table table;
    ASSERT_TRUE(OpenTable(file(ns).c_str(), &table));
    if (ns == 0) {
      ASSERT_EQ(ReadTakenMounts(&table, "/x/p/m", &taken), 1);
      for (int i = 0; i < taken.count; ++i) told += " " + std::to_string(taken.mounts[i].id);
      RewindTable(table.fd, &table);
    }
    EXPECT_EQ(ReadCopies(&table, static_cast<unsigned>(ns), &taken, &paths, &copies), 0);
    close(table.fd);
  }
  ResolveReceivers(&taken, &copies, 0);
  for (int i = 0; i < copies.count; ++i) {
    const Copy& c = copies.copies[i];
    if (!Counts(c)) continue;
    told += "; " + std::to_string(c.ns) + ":" + std::to_string(c.id) + (c.replaced ? "* " : " ") +
            PathAt(&paths, static_cast<int>(c.path));
  }
  EXPECT_EQ(told, GetParam().expected);
  // Each mount judged alone, as a table read again does where the records
  // left something out, takes the same.
  std::string placed = told.substr(0, told.find(';'));
  for (size_t ns = 0; ns < GetParam().tables.size(); ++ns) {
    Table table;
    Mount mount;
    ASSERT_TRUE(OpenTable(file(ns).c_str(), &table));
    while (ReadMount(&table, &mount)) {
      Table again;
      Placed p;
      int last;
      ASSERT_TRUE(OpenTable(file(ns).c_str(), &again));
      ASSERT_EQ(PlaceMount(&again, mount.id, &taken, &p), 1);
      close(again.fd);
      for (int i = 0; i < taken.count; ++i) {
        const int group = PlacedGroup(p, taken.mounts[i]);
        if ((p.places >> i & 1) != 0 && p.counts &&
            (group == 0 || Reaches(&copies, group, taken.mounts[i].group, 0, &last) == kReceives)) {
          placed += "; " + std::to_string(ns) + ":" + std::to_string(mount.id) +
                    ((p.replaced >> i & 1) != 0 ? "* " : " ") + mount.mount_point;
          break;
        }
      }
    }
    close(table.fd);
  }
  EXPECT_EQ(placed, GetParam().expected);
}

const std::string kP = "1015 1014 0:104 / /x/p rw,relatime shared:268";
const std::string kM = "1016 1015 0:105 / /x/p/m rw,relatime shared:327";

INSTANTIATE_TEST_SUITE_P(
    Propagation, RuleTables,
    testing::Values(
        RuleCase{"PeerOfTheParent",
                 {{kP, kM},
                  {"1040 1039 0:104 / /x/p rw,relatime shared:268",
                   "1041 1040 0:105 / /x/p/m rw,relatime shared:327"}},
                 "taken 1016; 1:1041 /x/p/m"},
        RuleCase{"SlaveOfTheParent",
                 {{kP, kM},
                  {"1040 1039 0:104 / /x/p rw,relatime master:268",
                   "1041 1040 0:105 / /x/p/m rw,relatime master:327"}},
                 "taken 1016; 1:1041 /x/p/m"},
        RuleCase{"PrivateCopy",
                 {{kP, kM},
                  {"1040 1039 0:104 / /x/p rw,relatime", "1041 1040 0:105 / /x/p/m rw,relatime"}},
                 "taken 1016"},
        // A shared slave links the parent's group to its own, whose slave is
        // another namespace.
        RuleCase{"SlaveOfASharedSlave",
                 {{"1137 1136 0:111 / /x/p rw,relatime shared:91",
                   "1138 1137 0:112 / /x/p/m rw,relatime shared:132"},
                  {"1162 1161 0:111 / /x/p rw,relatime shared:347 master:91",
                   "1163 1162 0:112 / /x/p/m rw,relatime shared:348 master:132"},
                  {"1187 1186 0:111 / /x/p rw,relatime master:347",
                   "1188 1187 0:112 / /x/p/m rw,relatime master:348"}},
                 "taken 1138; 1:1163 /x/p/m; 2:1188 /x/p/m"},
        // Two links, each told by another namespace, to the slave in the last.
        RuleCase{"SlaveOfASharedSlaveOfASharedSlave",
                 {{"117 116 0:49 / /x/p rw,relatime shared:1",
                   "118 117 0:50 / /x/p/m rw,relatime shared:2"},
                  {"141 140 0:49 / /x/p rw,relatime shared:4 master:1",
                   "142 141 0:50 / /x/p/m rw,relatime shared:5 master:2"},
                  {"165 164 0:49 / /x/p rw,relatime shared:7 master:4",
                   "166 165 0:50 / /x/p/m rw,relatime shared:8 master:5"},
                  {"189 188 0:49 / /x/p rw,relatime master:7",
                   "190 189 0:50 / /x/p/m rw,relatime master:8"}},
                 "taken 118; 1:142 /x/p/m; 2:166 /x/p/m; 3:190 /x/p/m"},
        // A slave of a group of the same file system that the parent's
        // doesn't reach.
        RuleCase{"SlaveOfAnotherGroup",
                 {{"1071 1022 0:106 / /x/p rw,relatime shared:39",
                   "1103 1022 0:106 / /x/q rw,relatime shared:123",
                   "1158 1071 0:107 / /x/p/m rw,relatime shared:246"},
                  {"1323 1322 0:106 / /x/p rw,relatime master:39",
                   "1324 1323 0:107 / /x/p/m rw,relatime master:246",
                   "1325 1322 0:106 / /x/q rw,relatime master:123",
                   "1326 1325 0:108 / /x/q/m rw,relatime"}},
                 "taken 1158; 1:1324 /x/p/m"},
        RuleCase{"CopyWithAMountOfItsOwn",
                 {{kP, kM},
                  {"1040 1039 0:104 / /x/p rw,relatime master:268",
                   "1041 1040 0:105 / /x/p/m rw,relatime master:327",
                   "1066 1041 0:108 / /x/p/m/d rw,relatime"}},
                 "taken 1016"},
        // The holder entered the copy before the cover came.
        RuleCase{"CopyCoveredWhole",
                 {{"161 131 0:106 / /x/p rw,relatime shared:101",
                   "163 161 0:107 / /x/p/m rw,relatime shared:103"},
                  {"656 643 0:106 / /x/p rw,relatime master:101",
                   "667 656 0:107 / /x/p/m rw,relatime master:103",
                   "670 667 0:108 / /x/p/m rw,relatime"}},
                 "taken 163; 1:667 /x/p/m"},
        RuleCase{"CopyReplacedByATmpfs",
                 {{"70 73 0:45 / /x/p rw,relatime shared:27",
                   "77 70 0:56 / /x/p/m rw,relatime shared:60"},
                  {"97 96 0:45 / /x/p rw,relatime master:27", "173 97 0:58 / /x/p/m rw,relatime"}},
                 "taken 77; 1:173* /x/p/m"},
        RuleCase{"CopyReplacedByADirectoryOfTheParent",
                 {{"424 73 0:66 / /x/p rw,relatime shared:137",
                   "74 424 0:56 / /x/p/m rw,relatime shared:27"},
                  {"309 308 0:66 / /x/p rw,relatime master:137",
                   "501 309 0:66 /x /x/p/m rw,relatime master:137"}},
                 "taken 74; 1:501* /x/p/m"},
        // M's own file system, shown from another root.
        RuleCase{
            "CopyReplacedByADirectoryOfItsOwn",
            {{"68 67 0:42 / /x/p rw,relatime shared:1", "69 68 0:43 / /x/p/m rw,relatime shared:2"},
             {"92 91 0:42 / /x/p rw,relatime master:1", "94 91 0:43 /d /x/w rw,relatime master:2",
              "93 92 0:43 /d /x/p/m rw,relatime master:2"}},
            "taken 69; 1:93* /x/p/m"},
        // The bind shows /sub of the parent's file system: its m is no place of M.
        RuleCase{"ReceiverWithARootOfItsOwn",
                 {{"289 74 0:56 / /x/p rw,relatime shared:137",
                   "290 289 0:66 / /x/p/m rw,relatime shared:140"},
                  {"459 458 0:56 / /x/p rw,relatime master:137",
                   "460 459 0:66 / /x/p/m rw,relatime master:140",
                   "638 458 0:56 /sub /x/v rw,relatime master:137",
                   "463 638 0:78 / /x/v/m rw,relatime"}},
                 "taken 290; 1:460 /x/p/m"},
        RuleCase{"ParentShownElsewhere",
                 {{"747 74 0:88 / /x/p rw,relatime shared:137",
                   "289 747 0:56 / /x/p/m rw,relatime shared:140"},
                  {"774 773 0:88 / /x/p rw,relatime master:137",
                   "775 774 0:56 / /x/p/m rw,relatime master:140",
                   "848 773 0:88 / /x/v rw,relatime master:137",
                   "849 848 0:56 / /x/v/m rw,relatime master:140"}},
                 "taken 289; 1:775 /x/p/m; 1:849 /x/v/m"},
        // A mount moved into a copy's place, older than the receiver it is on.
        RuleCase{
            "TableOutOfOrder",
            {{"99 74 0:56 / /x/p rw,relatime shared:137",
              "289 99 0:88 / /x/p/m rw,relatime shared:140"},
             {"771 770 0:56 / /x/p rw,relatime master:137",
              "772 771 0:88 / /x/p/m rw,relatime master:140", "773 774 0:105 / /x/v/m rw,relatime",
              "774 770 0:56 / /x/v rw,relatime master:137"}},
            "taken 289; 1:772 /x/p/m; 1:773* /x/v/m"},
        RuleCase{"PeerInTheSweepersNamespace",
                 {{"99 74 0:56 / /x/p rw,relatime shared:137",
                   "289 99 0:88 / /x/p/m rw,relatime shared:140",
                   "298 74 0:56 / /x/v rw,relatime shared:137",
                   "464 298 0:88 / /x/v/m rw,relatime shared:140"}},
                 "taken 289; 0:464 /x/v/m"},
        RuleCase{"StackedOnTheMountPoint",
                 {{"99 74 0:56 / /x/p rw,relatime shared:137",
                   "289 99 0:88 / /x/p/m rw,relatime shared:140",
                   "298 289 0:105 / /x/p/m rw,relatime shared:215"}},
                 "taken 298"}),
    [](const testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.name); });

// Enters a mount namespace of its own, a slave of the test's.
bool EnterSlave() {
  return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) == 0;
}

// Adds the pid of each holder told to a string.
void NoteHolder(const BusyumountHolder* holder, void* pids) {
  *static_cast<std::string*>(pids) += std::to_string(holder->pid) + " ";
}

// The driver's tables, kept from one sweep to the next: a namespace that
// appears, a table that changes and a namespace that goes each change what
// the next sweep finds, as they change what the kernel finds busy.
TEST(KeptTables, EachChangeReachesTheNextSweep) {
  const std::string base = MakeTempDir(), p = base + "/p", m = p + "/m", file = m + "/d/f";
  ASSERT_TRUE(MakePath(p));
  ASSERT_EQ(mount("tmpfs", p.c_str(), "tmpfs", 0, nullptr), 0);
  ASSERT_EQ(mount(nullptr, p.c_str(), nullptr, MS_SHARED, nullptr), 0);
  ASSERT_TRUE(MakePath(m));
  ASSERT_EQ(mount("tmpfs", m.c_str(), "tmpfs", 0, nullptr), 0);
  ASSERT_TRUE(MakePath(file, true));
  // One works on its copy, which has a mount of its own: no holder, until
  // that goes. One keeps the file open, a process of ours holding it too.
  const pid_t mounted = SpawnChild([&] {
    return EnterSlave() && mount("tmpfs", (m + "/d").c_str(), "tmpfs", 0, nullptr) == 0 &&
           chdir(m.c_str()) == 0;
  });
  const pid_t app = SpawnChild([&] { return EnterSlave() && HoldOpen(file); });
  const pid_t ours = SpawnChild([&] {
    for (int fd = 0; fd < 64; ++fd) {
      char link[kPathSize] = "";
      const std::string path = "/proc/" + std::to_string(app) + "/fd/" + std::to_string(fd);
      if (ReadSymLink(AT_FDCWD, path.c_str(), link) && file == link) return HoldOpen(path);
    }
    return false;
  });
  ASSERT_GT(mounted, 0);
  ASSERT_GT(app, 0);
  ASSERT_GT(ours, 0);
  static BusyMounts mounts;
  static KeptTables kept;
  StartBusyMounts(m.c_str(), &kept, &mounts);
  std::string found;
  EXPECT_EQ(SweepWithTables(0, nullptr, 0, NoteHolder, &found, &mounts), 0);
  EXPECT_EQ(found, std::to_string(app) + " " + std::to_string(ours) + " ");

  // A namespace appears, a mount goes from a copy, a namespace goes.
  const pid_t appeared = SpawnChild([&] { return EnterSlave() && chdir(m.c_str()) == 0; });
  ASSERT_GT(appeared, 0);
  const std::string d = m + "/d";
  const pid_t unmounting = fork();
  if (unmounting == 0) {
    const int ns = open(("/proc/" + std::to_string(mounted) + "/ns/mnt").c_str(), O_RDONLY);
    _exit(setns(ns, CLONE_NEWNS) == 0 && umount(d.c_str()) == 0 ? 0 : 1);
  }
  int status = -1;
  waitpid(unmounting, &status, 0);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(SignalThatEnded(app), SIGVTALRM);
  found.clear();
  EXPECT_EQ(SweepWithTables(0, nullptr, 0, NoteHolder, &found, &mounts), 0);
  EXPECT_EQ(found, std::to_string(mounted) + " " + std::to_string(appeared) + " ");
  // What ours holds is no copy once its namespace is gone.
  for (pid_t holder : {mounted, appeared}) EXPECT_EQ(SignalThatEnded(holder), SIGVTALRM);
  EXPECT_EQ(umount(m.c_str()), 0) << strerror(errno);
  CloseBusyMounts(&mounts);
  EXPECT_EQ(SignalThatEnded(ours), SIGVTALRM);
}

// The driver's kept threads: a process whose threads all shared everything is
// not compared again, until a thread comes, here one working on the mount.
TEST(KeptThreads, AThreadThatComesIsCompared) {
  const std::string dir = MakeTempDir();
  static int go[2], ready[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(ready), 0);
  static std::string at;
  at = dir;
  const pid_t pid = SpawnChild([] {
    pthread_t thread;
    const auto waiter = [](void*) -> void* {
      char byte;
      const bool started = read(go[0], &byte, 1) == 1 &&
                           InThreadOfItsOwn(CLONE_FS, [] { return chdir(at.c_str()) == 0; });
      if (write(ready[1], started ? "r" : "f", 1) != 1) _exit(1);
      for (;;) pause();
    };
    return pthread_create(&thread, nullptr, waiter, nullptr) == 0;
  });
  ASSERT_GT(pid, 0);
  static BusyMounts mounts;
  static KeptThreads threads;
  StartBusyMounts(dir.c_str(), nullptr, &mounts);
  std::string found;
  EXPECT_EQ(SweepWithTables(0, nullptr, 0, NoteHolder, &found, &mounts, nullptr, &threads), 0);
  EXPECT_EQ(found, "");
  char byte = 0;
  ASSERT_EQ(write(go[1], "g", 1), 1);
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'r');
  EXPECT_EQ(SweepWithTables(0, nullptr, 0, NoteHolder, &found, &mounts, nullptr, &threads), 0);
  EXPECT_EQ(found, std::to_string(pid) + " ");
  EXPECT_EQ(SignalThatEnded(pid), SIGVTALRM);
}

// Runs `check` in a child whose file system uid is not root: the kernel then
// drops its right to read what it doesn't own, such as another process's
// descriptor directory, while it keeps the right to inspect processes. Returns
// what `check` returned, or -1 if that can't be arranged here.
int RunWithoutFileAccess(const std::function<int()>& check) {
  const pid_t pid = fork();
  if (pid == 0) {
    setfsuid(12345);
    _exit(static_cast<int>(setfsuid(-1)) == 12345 ? check() : 255);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) != 255 ? WEXITSTATUS(status) : -1;
}

TEST_F(FileProbes, UnreadableDescriptorsLeaveTheLaterProbesToJudge) {
  const pid_t mapper = SpawnChild([&] { return HoldOpen(file_) && MapWithoutDescriptor(file_); });
  const pid_t in_dir =
      SpawnChild([&] { return HoldOpen(file_) && chdir((mount_point_ + "/deep").c_str()) == 0; });
  ASSERT_GT(mapper, 0);
  ASSERT_GT(in_dir, 0);
  const char* mp = mount_point_.c_str();
  const int result = RunWithoutFileAccess([&] {
    char fd_dir[64];
    snprintf(fd_dir, sizeof(fd_dir), "/proc/%d/fd", mapper);
    if (opendir(fd_dir) != nullptr) return 254;  // still readable: nothing shown
    return CheckFileDescriptorSymLinks(mapper, mp) | CheckFileDescriptorSymLinks(in_dir, mp) << 1 |
           HoldsMountPoint(mapper, mp) << 2 | HoldsMountPoint(in_dir, mp) << 3;
  });
  if (result == -1 || result == 254) GTEST_SKIP() << "descriptor directories stay readable here";
  EXPECT_EQ(result & 3, 0) << "the descriptor probe found nothing";
  EXPECT_EQ(result >> 2, 3) << "the mapping and working directory probes found both";
  EXPECT_EQ(SignalThatEnded(mapper), SIGVTALRM);
  EXPECT_EQ(SignalThatEnded(in_dir), SIGVTALRM);
}

}  // namespace
