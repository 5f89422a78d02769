// The sweep against real children: who gets which signal, who is spared, and
// who is never touched. Every signal the sweep sends, through a process handle
// or by kill(), is recorded on its way to the kernel, so a test sees each one,
// not only its effect.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer's allocator, which takes malloc()'s place, counts here.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include "ProcessKiller.h"
#include "support.h"

namespace {

bool g_recording = false;
std::vector<std::pair<pid_t, int>> g_kills;
bool g_without_pidfd = false;                // as on a kernel before Linux 5.1
bool g_without_kcmp = false;                 // as on a kernel without CONFIG_KCMP
std::function<void(pid_t)> g_before_signal;  // runs just before the kernel call

// The process id that a /proc/<pid> directory handle was opened for.
pid_t PidOfHandle(long handle) {
  char link[64];
  char target[64] = {};
  snprintf(link, sizeof(link), "/proc/self/fd/%ld", handle);
  return readlink(link, target, sizeof(target) - 1) > 6 ? atoi(target + 6) : -1;
}

}  // namespace

// Takes the place of libc's kill() in this program; the signal still goes out.
extern "C" int kill(pid_t pid, int signal) noexcept {
  if (g_recording) {
    if (g_before_signal) g_before_signal(pid);
    g_kills.emplace_back(pid, signal);
  }
  return static_cast<int>(syscall(SYS_kill, pid, signal));
}

// This program is linked with -Wl,--wrap=syscall: every call of syscall()
// comes here, and __real_syscall() is the C library's. The signals sent
// through a process handle that the kernel took are recorded; every call
// but kcmp() without it still goes to the kernel. No caller here passes more
// than five arguments.
extern "C" long __real_syscall(long number, ...);
extern "C" long __wrap_syscall(long number, ...) {
  va_list list;
  va_start(list, number);
  long args[5];
  for (long& arg : args) arg = va_arg(list, long);
  va_end(list);
  if (number == SYS_kcmp && g_without_kcmp) {
    errno = ENOSYS;
    return -1;
  }
  if (number != SYS_pidfd_send_signal || !g_recording) {
    return __real_syscall(number, args[0], args[1], args[2], args[3], args[4]);
  }
  if (g_without_pidfd) {
    errno = ENOSYS;
    return -1;
  }
  const pid_t pid = PidOfHandle(args[0]);
  if (g_before_signal) g_before_signal(pid);
  const long result = __real_syscall(number, args[0], args[1], args[2], args[3]);
  if (result == 0) g_kills.emplace_back(pid, static_cast<int>(args[1]));
  return result;
}

namespace {

class Sweep : public ScratchMountPoint {
 protected:
  void SetUp() override {
    ScratchMountPoint::SetUp();
    g_kills.clear();
    g_without_pidfd = false;
    g_before_signal = nullptr;
  }

  std::vector<std::pair<pid_t, int>> Run(int selector, const pid_t* excluded = nullptr,
                                         int excluded_count = 0) {
    g_recording = true;
    KillProcessesWithOpenFiles(mount_point_.c_str(), selector, excluded, excluded_count);
    g_recording = false;
    return g_kills;
  }

  pid_t HolderWithCwd(const std::string& cwd) {
    return SpawnChild([&] { return chdir(cwd.c_str()) == 0; });
  }
};

using Kills = std::vector<std::pair<pid_t, int>>;

class SignalSelector : public Sweep, public testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(SignalSelector, SendsTheSelectedSignal) {
  const auto [selector, signal] = GetParam();
  // Through the process handle, and by kill() where the kernel lacks that call.
  for (const bool without_pidfd : {false, true}) {
    g_kills.clear();
    g_without_pidfd = without_pidfd;
    const pid_t holder = HolderWithCwd(mount_point_ + "/deep");
    ASSERT_GT(holder, 0);
    EXPECT_EQ(Run(selector), (Kills{{holder, signal}})) << "without pidfd: " << without_pidfd;
    EXPECT_EQ(SignalThatEnded(holder), signal);
  }
}

INSTANTIATE_TEST_SUITE_P(ProcessKiller, SignalSelector,
                         testing::Values(std::pair{0, SIGTERM}, std::pair{1, SIGKILL},
                                         std::pair{2, SIGKILL}, std::pair{-1, SIGKILL}));

TEST_F(Sweep, ExclusionListSparesItsProcesses) {
  const pid_t spared = HolderWithCwd(mount_point_);
  const pid_t holder = HolderWithCwd(mount_point_);
  const pid_t also_spared = HolderWithCwd(mount_point_);
  ASSERT_GT(spared, 0);
  ASSERT_GT(holder, 0);
  ASSERT_GT(also_spared, 0);
  const pid_t excluded[] = {spared, also_spared};
  EXPECT_EQ(Run(0, excluded, 2), (Kills{{holder, SIGTERM}}));
  EXPECT_EQ(SignalThatEnded(spared), SIGVTALRM);
  EXPECT_EQ(SignalThatEnded(holder), SIGTERM);
  EXPECT_EQ(SignalThatEnded(also_spared), SIGVTALRM);
}

TEST_F(Sweep, ExclusionCountOfZeroOrLessReadsNothing) {
  // A list in memory that faults when read: the sweep must not touch it.
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  const pid_t* unreadable = static_cast<const pid_t*>(page);
  for (int count : {0, -1, -100}) {
    g_kills.clear();
    const pid_t holder = HolderWithCwd(mount_point_);
    ASSERT_GT(holder, 0);
    EXPECT_EQ(Run(1, unreadable, count), (Kills{{holder, SIGKILL}})) << "count " << count;
    EXPECT_EQ(SignalThatEnded(holder), SIGKILL);
  }
  munmap(page, 4096);
}

TEST_F(Sweep, SiblingPrefixAndParentAreNotHolders) {
  const pid_t sibling = HolderWithCwd(base_ + "/disk2");
  const pid_t parent = HolderWithCwd(base_);
  const pid_t holder = HolderWithCwd(mount_point_ + "/deep");
  ASSERT_GT(sibling, 0);
  ASSERT_GT(parent, 0);
  ASSERT_GT(holder, 0);
  EXPECT_EQ(Run(0), (Kills{{holder, SIGTERM}}));
  EXPECT_EQ(SignalThatEnded(sibling), SIGVTALRM);
  EXPECT_EQ(SignalThatEnded(parent), SIGVTALRM);
  EXPECT_EQ(SignalThatEnded(holder), SIGTERM);
}

TEST_F(Sweep, HolderThatEveryProbeMatchesIsSignalledOnce) {
  const std::string jail = mount_point_ + "/deep";
  const pid_t holder = SpawnChild([&] {
    return HoldOpen(file_) && MapWithoutDescriptor(file_) && chdir(jail.c_str()) == 0 &&
           chroot(jail.c_str()) == 0;
  });
  ASSERT_GT(holder, 0);
  EXPECT_EQ(Run(0), (Kills{{holder, SIGTERM}}));
  EXPECT_EQ(SignalThatEnded(holder), SIGTERM);
}

TEST_F(Sweep, HoldersOfEveryKindAreSignalledAndNobodyElse) {
  const std::vector<pid_t> holders = SpawnHoldersOfEveryKind(mount_point_, file_);
  const std::vector<pid_t> bystanders = SpawnBystanders(mount_point_, base_ + "/disk2", base_);
  Kills expected;
  for (pid_t pid : holders) {
    ASSERT_GT(pid, 0);
    expected.emplace_back(pid, SIGTERM);
  }
  for (pid_t pid : bystanders) ASSERT_GT(pid, 0);
  Kills kills = Run(0);
  std::sort(kills.begin(), kills.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(kills, expected);
  for (pid_t pid : holders) EXPECT_EQ(SignalThatEnded(pid), SIGTERM);
  for (pid_t pid : bystanders) EXPECT_EQ(SignalThatEnded(pid), SIGVTALRM);
}

TEST_F(Sweep, ThreadsOwnAreReadWhereTheKernelCantCompareThem) {
  const std::string sibling = base_ + "/disk2";
  const pid_t working = SpawnInThreadOrNetworkOfItsOwn(0, mount_point_);
  const pid_t opened = SpawnInThreadOrNetworkOfItsOwn(1, file_);
  const pid_t elsewhere = SpawnInThreadOrNetworkOfItsOwn(0, sibling);
  const pid_t open_elsewhere = SpawnInThreadOrNetworkOfItsOwn(1, sibling);
  for (pid_t pid : {working, opened, elsewhere, open_elsewhere}) ASSERT_GT(pid, 0);
  g_without_kcmp = true;
  Kills kills = Run(0);
  g_without_kcmp = false;
  std::sort(kills.begin(), kills.end());
  EXPECT_EQ(kills, (Kills{{working, SIGTERM}, {opened, SIGTERM}}));
  for (pid_t pid : {working, opened}) EXPECT_EQ(SignalThatEnded(pid), SIGTERM);
  for (pid_t pid : {elsewhere, open_elsewhere}) EXPECT_EQ(SignalThatEnded(pid), SIGVTALRM);
}

TEST_F(Sweep, NobodyHoldingMeansNoSignal) {
  const pid_t bystander = HolderWithCwd(base_ + "/disk2");
  ASSERT_GT(bystander, 0);
  EXPECT_EQ(Run(1), Kills{});
  EXPECT_EQ(SignalThatEnded(bystander), SIGVTALRM);
}

TEST_F(Sweep, NamedMemoryRegionIsNoHolding) {
  // As Android names its regions: "[anon:dalvik-<path>]" in the map.
  const std::string name = "dalvik-" + mount_point_ + "/boot.art";
  void* region = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  if (prctl(PR_SET_VMA, PR_SET_VMA_ANON_NAME, region, 4096, name.c_str()) != 0) {
    munmap(region, 4096);
    GTEST_SKIP() << "this kernel names no memory region (PR_SET_VMA_ANON_NAME: " << strerror(errno)
                 << ")";
  }
  const pid_t bystander = HolderWithCwd("/");  // it inherits the region
  munmap(region, 4096);
  ASSERT_GT(bystander, 0);
  EXPECT_EQ(Run(1), Kills{});
  EXPECT_EQ(SignalThatEnded(bystander), SIGVTALRM);
}

TEST_F(Sweep, HolderGoneBeforeItsSignalTakesItsIdAlong) {
  const pid_t holder = HolderWithCwd(mount_point_);
  ASSERT_GT(holder, 0);
  pid_t heir = -1;
  // Judged a holder, it exits, and its id goes to a new process.
  g_before_signal = [&](pid_t pid) {
    g_recording = false;
    EXPECT_EQ(SignalThatEnded(pid), SIGVTALRM);
    std::ofstream("/proc/sys/kernel/ns_last_pid") << pid - 1;
    heir = HolderWithCwd("/");
    g_recording = true;
  };
  EXPECT_EQ(Run(0), Kills{});
  ASSERT_EQ(heir, holder) << "the holder's id was not handed on";
  EXPECT_EQ(SignalThatEnded(heir), SIGVTALRM);
}

TEST_F(Sweep, EachSweepLooksAfresh) {
  const pid_t first = HolderWithCwd(mount_point_);
  ASSERT_GT(first, 0);
  EXPECT_EQ(Run(0), (Kills{{first, SIGTERM}}));
  EXPECT_EQ(SignalThatEnded(first), SIGTERM);
  g_kills.clear();
  const pid_t second = HolderWithCwd(mount_point_);
  ASSERT_GT(second, 0);
  EXPECT_EQ(Run(1), (Kills{{second, SIGKILL}}));
  EXPECT_EQ(SignalThatEnded(second), SIGKILL);
}

// Counts the holders told of.
void CountHolder(const BusyumountHolder*, void* count) {
  ++*static_cast<int*>(count);
}

// The library called from a thread with musl's default stack, 128 KiB, on a
// layout that takes it to its deepest: a shared parent, whose mount's copy an
// app's namespace shows at a path of its own, one whose table has more places
// than the records note, so that its holder's mount is read again, and a
// holder of every kind, one with its main thread gone among them. It must find
// them all, and live.
TEST(Stack, SweepFitsAThreadOf128KiB) {
  const std::string base = MakeTempDir(), p = base + "/p", m = p + "/m", view = base + "/view";
  ASSERT_TRUE(MakePath(p) && MakePath(view));
  ASSERT_EQ(mount("tmpfs", p.c_str(), "tmpfs", 0, nullptr), 0);
  ASSERT_EQ(mount(nullptr, p.c_str(), nullptr, MS_SHARED, nullptr), 0);
  ASSERT_TRUE(MakePath(m));
  ASSERT_EQ(mount("tmpfs", m.c_str(), "tmpfs", 0, nullptr), 0);
  ASSERT_TRUE(MakePath(m + "/deep/file", true));
  std::vector<pid_t> holders = SpawnHoldersOfEveryKind(m, m + "/deep/file");
  holders.push_back(SpawnChild([&] {
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) == 0 &&
           mount(p.c_str(), view.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
           chdir((view + "/m/deep").c_str()) == 0;
  }));
  holders.push_back(SpawnChild([&] {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0 ||
        mount("tmpfs", view.c_str(), "tmpfs", 0, nullptr) != 0) {
      return false;
    }
    for (int i = 0; i < 70; ++i) {
      const std::string at = view + "/" + std::to_string(i);
      if (!MakePath(at) || mount(p.c_str(), at.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        return false;
      }
    }
    return HoldOpen(view + "/69/m/deep/file");
  }));
  for (pid_t pid : holders) ASSERT_GT(pid, 0);
  // A loop device backed by a file on the mount, when the machine has one.
  OwnLoops loops;
  ASSERT_TRUE(MakePath(m + "/img", true));
  ASSERT_EQ(truncate((m + "/img").c_str(), 65536), 0);
  const int loop = loops.Attach(m + "/img", false);
  if (loop >= 0) close(loop);
  struct Call {
    const char* mount_point;
    int found = 0, loops = 0;
  } call = {m.c_str()};
  pthread_attr_t attributes;
  pthread_t thread;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 128 * 1024), 0);
  ASSERT_EQ(pthread_create(
                &thread, &attributes,
                [](void* c) -> void* {
                  Call* call = static_cast<Call*>(c);
                  ReportProcessesWithOpenFiles(call->mount_point, 0, nullptr, 0, CountHolder,
                                               &call->found);
                  call->loops = ReportLoopDevices(
                      call->mount_point, [](const BusyumountLoopDevice*, void*) {}, nullptr);
                  return nullptr;
                },
                &call),
            0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  EXPECT_EQ(call.found, static_cast<int>(holders.size()));
  EXPECT_EQ(call.loops, loop >= 0 ? 1 : 0);
  for (pid_t pid : holders) EXPECT_EQ(SignalThatEnded(pid), SIGVTALRM);
}

// Bytes of heap in use in this process.
size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

// Descriptors open in this process.
int OpenDescriptors() {
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(fds)) count += entry->d_name[0] != '.';
  closedir(fds);
  return count - 1;  // the listing's own
}

TEST_F(Sweep, ThousandSweepsLeaveNoDescriptorAndNoHeapBehind) {
  // Holders that outlive every SIGTERM, bystanders with a few files open, and
  // a holder of every kind, spared, so that every probe runs in every sweep.
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(MakePath(base_ + "/disk2/f" + std::to_string(i), true));
  std::vector<pid_t> children = SpawnHoldersOfEveryKind(mount_point_, file_);
  const std::vector<pid_t> spared = children;
  const int count = static_cast<int>(spared.size());
  for (pid_t pid : spared) ASSERT_GT(pid, 0);
  for (int i = 0; i < 20; ++i) {
    children.push_back(SpawnChild([&] {
      return signal(SIGTERM, SIG_IGN) != SIG_ERR && HoldOpen(file_) &&
             chdir(mount_point_.c_str()) == 0;
    }));
    children.push_back(SpawnChild([&] {
      for (int f = 0; f < 5; ++f) {
        if (!HoldOpen(base_ + "/disk2/f" + std::to_string(f))) return false;
      }
      return true;
    }));
    ASSERT_GT(children[children.size() - 2], 0);
    ASSERT_GT(children.back(), 0);
  }
  KillProcessesWithOpenFiles(mount_point_.c_str(), 0, spared.data(), count);
  const int descriptors = OpenDescriptors();
  const size_t heap = HeapInUse();
  for (int i = 0; i < 1000; ++i)
    KillProcessesWithOpenFiles(mount_point_.c_str(), 0, spared.data(), count);
  EXPECT_EQ(OpenDescriptors(), descriptors);
  EXPECT_EQ(HeapInUse(), heap);
  for (pid_t pid : children) EXPECT_EQ(SignalThatEnded(pid), SIGVTALRM);
}

// Processes in /proc and the descriptors among them, counted while holding as
// many descriptors open as the sweep does at each step.
struct Workload {
  long processes = 0;
  long descriptors = 0;
};

Workload CountWorkload() {
  Workload workload;
  DIR* proc = opendir("/proc");
  while (const dirent* entry = readdir(proc)) {
    if (strspn(entry->d_name, "0123456789") != strlen(entry->d_name)) continue;
    ++workload.processes;
    const std::string process = std::string("/proc/") + entry->d_name;
    const int handle = open(process.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* descriptors = opendir((process + "/fd").c_str());
    while (descriptors != nullptr && readdir(descriptors) != nullptr) ++workload.descriptors;
    workload.descriptors -= 2;  // "." and ".."
    if (descriptors != nullptr) closedir(descriptors);
    close(handle);
  }
  closedir(proc);
  return workload;
}

TEST_F(Sweep, MakesTheAlgorithmsSystemCallsAndNoOthers) {
  if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  std::vector<pid_t> workload;
  for (int i = 0; i < 20; ++i) {
    workload.push_back(SpawnChild([&] {
      for (int d = 0; d < 4; ++d) {
        if (!HoldOpen(base_ + "/disk2/file")) return false;
      }
      return true;
    }));
    ASSERT_GT(workload.back(), 0);
  }
  // A child sweeps between two markers once strace follows it.
  int go[2];
  int counted[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(counted), 0);
  const pid_t sweeper = fork();
  if (sweeper == 0) {
    char byte;
    if (read(go[0], &byte, 1) != 1) _exit(1);
    const Workload seen = CountWorkload();
    // Writes to no descriptor, which strace shows.
    const bool begun = write(-1, "sweep-begin", 11) < 0;
    KillProcessesWithOpenFiles(mount_point_.c_str(), 0, nullptr, 0);
    const bool ended = write(-1, "sweep-end", 9) < 0;
    _exit(begun && ended && write(counted[1], &seen, sizeof(seen)) == sizeof(seen) ? 0 : 1);
  }
  const std::string trace = base_ + "/trace";
  const std::string target = std::to_string(sweeper);
  const pid_t tracer = fork();
  if (tracer == 0) {
    execl("/usr/bin/strace", "strace", "-qq", "-o", trace.c_str(), "-p", target.c_str(), nullptr);
    _exit(127);
  }
  const auto traced = [&] {
    std::ifstream status("/proc/" + target + "/status");
    std::string line;
    while (std::getline(status, line) && line.rfind("TracerPid:", 0) != 0) {
    }
    return line.size() > 10 && atoi(line.c_str() + 10) != 0;
  };
  while (!traced()) usleep(1000);
  ASSERT_EQ(write(go[1], "g", 1), 1);
  Workload seen;
  ASSERT_EQ(read(counted[0], &seen, sizeof(seen)), static_cast<ssize_t>(sizeof(seen)));
  waitpid(sweeper, nullptr, 0);
  waitpid(tracer, nullptr, 0);

  // Calls by what they do, since one libc call is a different system call on
  // different targets.
  const std::map<std::string, std::string> kind_of = {
      {"open", "open"},          {"openat", "open"},        {"close", "close"},
      {"newfstatat", "status"},  {"fstatat64", "status"},   {"lstat", "status"},
      {"statx", "status"},       {"readlink", "link read"}, {"readlinkat", "link read"},
      {"getdents64", "listing"}, {"read", "read"},
  };
  std::map<std::string, long> made;
  std::ifstream lines(trace);
  bool inside = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("\"sweep-") != line.npos) {
      inside = line.find("\"sweep-begin\"") != line.npos;
    } else if (inside) {
      const std::string name = line.substr(0, line.find('('));
      ++made[kind_of.count(name) ? kind_of.at(name) : name];
    }
  }
  // Once, /proc's, /proc/net/unix's and the mount table's open, reading and
  // close, a rewind of the mount table, read twice, and the links of its own
  // network and mount namespaces. Per process a status
  // call of its task directory, which tells it has one thread, and
  // the handle's open and close, the descriptor directory's open, listing and
  // close, the maps file's open, reads and close, and three named links (a
  // link read each). Per descriptor a link read. Listings and reads take as
  // many calls as the data needs.
  const long p = seen.processes;
  const long d = seen.descriptors;
  EXPECT_GT(made["listing"], p);
  EXPECT_GT(made["read"], p);
  made.erase("listing");
  made.erase("read");
  EXPECT_EQ(made, (std::map<std::string, long>{{"close", 3 * p + 3},
                                               {"link read", d + 3 * p + 2},
                                               {"lseek", 1},
                                               {"open", 3 * p + 3},
                                               {"status", p}}))
      << "with " << p << " processes and " << d << " descriptors";
  for (pid_t pid : workload) EXPECT_EQ(SignalThatEnded(pid), SIGVTALRM);
}

struct Role {
  pid_t pid;
  int holder;
};

// Runs in a child: forks `count` short-lived processes, one holder of
// `holder_dir` for each bystander in `bystander_dir`, some of which exec, and
// writes each one's Role to `roles`. Never returns.
[[noreturn]] void Churn(int count, const std::string& holder_dir, const std::string& bystander_dir,
                        int roles) {
  constexpr int kAtOnce = 32;
  int live = 0;
  for (int i = 0; i < count; ++i) {
    while (waitpid(-1, nullptr, live >= kAtOnce ? 0 : WNOHANG) > 0) --live;
    const int holder = i % 2;
    const pid_t child = fork();
    if (child == 0) {
      if (chdir((holder ? holder_dir : bystander_dir).c_str()) != 0) _exit(1);
      switch (i / 2 % 3) {
        case 0:
          _exit(0);
        case 1:
          execl("/bin/true", "true", nullptr);
          _exit(1);
        default:
          execl("/bin/sleep", "sleep", "0.01", nullptr);
          _exit(1);
      }
    }
    if (child < 0) continue;
    ++live;
    const Role role{child, holder};
    if (write(roles, &role, sizeof(role)) != sizeof(role)) _exit(1);
  }
  while (wait(nullptr) > 0) {
  }
  _exit(0);
}

TEST_F(Sweep, ChurnNeverReachesABystanderNorAnyHolderTwice) {
  int roles[2];
  ASSERT_EQ(pipe2(roles, O_CLOEXEC), 0);
  const pid_t churner = fork();
  if (churner == 0) {
    close(roles[0]);
    Churn(3000, mount_point_ + "/deep", base_ + "/disk2", roles[1]);
  }
  ASSERT_GT(churner, 0);
  close(roles[1]);
  fcntl(roles[0], F_SETFL, O_NONBLOCK);

  std::map<pid_t, int> role_of;
  const auto drain = [&] {
    Role role;
    while (read(roles[0], &role, sizeof(role)) == sizeof(role)) role_of[role.pid] = role.holder;
  };
  std::vector<Kills> sweeps;
  for (bool churning = true; churning || sweeps.size() < 20;) {
    g_kills.clear();
    sweeps.push_back(Run(0));
    drain();
    churning = churning && waitpid(churner, nullptr, WNOHANG) == 0;
  }
  fcntl(roles[0], F_SETFL, 0);
  drain();
  close(roles[0]);

  int signalled = 0;
  for (const Kills& kills : sweeps) {
    std::set<pid_t> seen;
    for (const auto& [pid, signal] : kills) {
      EXPECT_TRUE(seen.insert(pid).second) << "pid " << pid << " signalled twice in one sweep";
      ASSERT_EQ(role_of.count(pid), 1u) << "pid " << pid << " is none of the churned processes";
      EXPECT_EQ(role_of[pid], 1) << "bystander " << pid << " signalled";
      ++signalled;
    }
  }
  EXPECT_EQ(role_of.size(), 3000u);
  EXPECT_GT(signalled, 0) << "no sweep met a holder";
  RecordProperty("sweeps", static_cast<int>(sweeps.size()));
  RecordProperty("holders_signalled", signalled);
}

}  // namespace
