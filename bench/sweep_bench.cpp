// The sweep benchmark: one sweep, and the stack it touches, of a tmpfs mount
// that nobody holds, over processes with 64 descriptors each, with 64 and 40
// threads each as an app has, or with 2,000 memory-map lines each; or, shaped
// like a phone, of shared storage that app namespaces see at a path of their
// own, over processes with 64 descriptors each, three in each of the app
// namespaces and four in the benchmark's, every table 88 lines; or of that
// storage, over 2,100 processes each in a user namespace of its own, with a
// private mount namespace, as anyone may make them.
//   sweep_bench [Google Benchmark's flags]
//   sweep_bench --hold descriptors|threads|maps|phone|users N COMMAND...   runs COMMAND
//       beside N such processes, with $DISK naming the mount, which a
//       submount keeps busy
// It runs as the first process of its own PID namespace (scripts/bench.sh),
// which takes the workload and the mounts along when it ends.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ProcessKiller.h"
#include "support.h"

namespace {

std::string g_disk;     // the mount point
std::string g_storage;  // the phone's: user/emulated on a shared user
std::string g_base;
std::string g_file;  // outside them, held by the workload
std::string g_kind;
std::vector<pid_t> g_workload;

// Opens the file 64 times, or maps it 2,000 times: each mapping of its first
// page is a line of its own, since its neighbours' offsets don't continue it.
// With threads, 39 threads more, as an app has.
bool Hold(const std::string& kind) {
  for (int i = 0; i < (kind == "maps" ? 2000 : 64); ++i) {
    if (!(kind == "maps" ? MapWithoutDescriptor(g_file) : HoldOpen(g_file))) return false;
  }
  pthread_t thread;
  const auto wait = [](void*) -> void* {
    for (;;) pause();
  };
  for (int i = 0; kind == "threads" && i < 39; ++i) {
    if (pthread_create(&thread, nullptr, wait, nullptr) != 0) return false;
  }
  return true;
}

// Lines of this process's mount table.
int TableLines() {
  FILE* table = fopen("/proc/self/mountinfo", "re");
  int lines = 0;
  for (int c; table != nullptr && (c = getc(table)) != EOF;) lines += c == '\n';
  if (table != nullptr) fclose(table);
  return lines;
}

// Enters an app's mount namespace, a slave of the benchmark's with the users'
// storage bound at storage, its table made 88 lines long.
bool EnterApp() {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0 ||
      mount((g_base + "/user").c_str(), (g_base + "/storage").c_str(), nullptr, MS_BIND | MS_REC,
            nullptr) != 0) {
    return false;
  }
  for (int pad = 0, lines = TableLines(); lines < 88; ++pad, ++lines) {
    const std::string at = g_base + "/pad/" + std::to_string(pad);
    if (!MakePath(at) || mount("tmpfs", at.c_str(), "tmpfs", 0, nullptr) != 0) return false;
  }
  return true;
}

// Becomes an ordinary user, and root of a user namespace of its own with a
// private mount namespace, as `unshare -Urm sleep` does.
bool EnterAsUser() {
  const auto write = [](const char* path, const char* text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    const bool written = fd >= 0 && ::write(fd, text, strlen(text)) > 0;
    if (fd >= 0) close(fd);
    return written;
  };
  return setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
         setresuid(65534, 65534, 65534) == 0 && prctl(PR_SET_DUMPABLE, 1) == 0 &&
         unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 && write("/proc/self/setgroups", "deny") &&
         write("/proc/self/uid_map", "0 65534 1") && write("/proc/self/gid_map", "0 65534 1") &&
         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// Makes the workload `count` processes of `kind`: for a phone, four in the
// benchmark's namespace and three in each app's; for users, each in a user
// and mount namespace of its own.
void Grow(const std::string& kind, int count) {
  if (kind != g_kind) {
    for (pid_t pid : g_workload) SignalThatEnded(pid);
    g_workload.clear();
    g_kind = kind;
  }
  while (static_cast<int>(g_workload.size()) < count) {
    const size_t size = g_workload.size();
    pid_t pid = -1;
    if (kind == "users") {
      pid = SpawnChild([] { return EnterAsUser(); });
    } else if (kind != "phone" || size < 4) {
      pid = SpawnChild([&] { return Hold(kind); });
    } else if ((size - 4) % 3 == 0) {
      pid = SpawnChild([&] { return EnterApp() && Hold(kind); });
    } else {
      const std::string app = "/proc/" + std::to_string(g_workload[size - (size - 4) % 3]);
      pid = SpawnChild([&] {
        const int ns = open((app + "/ns/mnt").c_str(), O_RDONLY | O_CLOEXEC);
        return setns(ns, CLONE_NEWNS) == 0 && Hold(kind);
      });
    }
    if (g_workload.emplace_back(pid) < 0) abort();
  }
}

// Returns the stack that one sweep of `disk` touches, in KiB: it runs in a
// thread whose stack, 1 MiB, is first filled with a pattern, and what no
// longer holds the pattern was touched, the thread's own data at its top too.
double StackOfASweep(const std::string& disk) {
  constexpr size_t kSize = 1 << 20;
  void* stack = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (stack == MAP_FAILED) return 0;
  memset(stack, 0xa5, kSize);
  pthread_attr_t attributes;
  pthread_t thread;
  pthread_attr_init(&attributes);
  pthread_attr_setstack(&attributes, stack, kSize);
  const auto sweep = [](void* disk) -> void* {
    KillProcessesWithOpenFiles(static_cast<const char*>(disk), 0, nullptr, 0);
    return nullptr;
  };
  if (pthread_create(&thread, &attributes, sweep, const_cast<char*>(disk.c_str())) != 0) return 0;
  pthread_join(thread, nullptr);
  size_t untouched = 0;
  while (untouched < kSize && static_cast<unsigned char*>(stack)[untouched] == 0xa5) ++untouched;
  munmap(stack, kSize);
  return static_cast<double>(kSize - untouched) / 1024;
}

void BM_Sweep(benchmark::State& state, const char* kind) {
  Grow(kind, static_cast<int>(state.range(0)));
  const std::string& disk =
      strcmp(kind, "descriptors") == 0 || strcmp(kind, "maps") == 0 || strcmp(kind, "threads") == 0
          ? g_disk
          : g_storage;
  for (auto _ : state) KillProcessesWithOpenFiles(disk.c_str(), 0, nullptr, 0);
  state.counters["stack_KiB"] = StackOfASweep(disk);
}
BENCHMARK_CAPTURE(BM_Sweep, descriptors, "descriptors")->ArgsProduct({{100, 500, 2000}});
BENCHMARK_CAPTURE(BM_Sweep, maps, "maps")->ArgsProduct({{100, 300, 1000}});
BENCHMARK_CAPTURE(BM_Sweep, phone, "phone")->Arg(454);
BENCHMARK_CAPTURE(BM_Sweep, threads, "threads")->Arg(300);
BENCHMARK_CAPTURE(BM_Sweep, users, "users")->Arg(2100);

}  // namespace

int main(int argc, char** argv) {
  if (!IsFirstProcessOfOwnNamespace()) {
    fprintf(stderr, "%s may send signals: run it through scripts/bench.sh\n", argv[0]);
    return 1;
  }
  g_base = MakeTempDir();
  g_disk = g_base + "/disk";
  g_storage = g_base + "/user/emulated";
  g_file = g_base + "/outside/file";
  const auto make_tmpfs = [](const std::string& at) {
    return MakePath(at) && mount("tmpfs", at.c_str(), "tmpfs", 0, nullptr) == 0;
  };
  if (g_base.empty() || mount("tmpfs", g_base.c_str(), "tmpfs", 0, nullptr) != 0 ||
      !MakePath(g_file, true) || !MakePath(g_base + "/storage") || !make_tmpfs(g_disk) ||
      !make_tmpfs(g_disk + "/sub") || !make_tmpfs(g_base + "/user") ||
      mount(nullptr, (g_base + "/user").c_str(), nullptr, MS_SHARED, nullptr) != 0 ||
      !make_tmpfs(g_storage) || !make_tmpfs(g_storage + "/sub")) {
    perror("making the mounts");
    return 1;
  }
  if (argc > 4 && strcmp(argv[1], "--hold") == 0) {
    Grow(argv[2], atoi(argv[3]));
    const bool storage = strcmp(argv[2], "phone") == 0 || strcmp(argv[2], "users") == 0;
    setenv("DISK", (storage ? g_storage : g_disk).c_str(), 1);
    const pid_t command = fork();
    if (command == 0) {
      execvp(argv[4], argv + 4);
      _exit(127);
    }
    int status = 0;
    waitpid(command, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
