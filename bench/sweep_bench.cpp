// The sweep benchmark: one sweep of a tmpfs mount that nobody holds, over
// processes with 64 descriptors each, or with 2,000 memory-map lines each.
//   sweep_bench [Google Benchmark's flags]
//   sweep_bench --hold descriptors|maps N COMMAND...   runs COMMAND beside N
//       such processes, with $DISK naming the mount, which a submount keeps busy
// It runs as the first process of its own PID namespace (scripts/bench.sh),
// which takes the workload and the mounts along when it ends.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ProcessKiller.h"
#include "support.h"

namespace {

std::string g_disk;  // the mount point
std::string g_file;  // outside it, held by the workload
std::string g_kind;
std::vector<pid_t> g_workload;

// Opens the file 64 times, or maps it 2,000 times: each mapping of its first
// page is a line of its own, since its neighbours' offsets don't continue it.
bool Hold(const std::string& kind) {
  for (int i = 0; i < (kind == "maps" ? 2000 : 64); ++i) {
    if (!(kind == "maps" ? MapWithoutDescriptor(g_file) : HoldOpen(g_file))) return false;
  }
  return true;
}

// Makes the workload `count` processes of `kind`.
void Grow(const std::string& kind, int count) {
  if (kind != g_kind) {
    for (pid_t pid : g_workload) SignalThatEnded(pid);
    g_workload.clear();
    g_kind = kind;
  }
  while (static_cast<int>(g_workload.size()) < count) {
    if (g_workload.emplace_back(SpawnChild([&] { return Hold(kind); })) < 0) abort();
  }
}

void BM_Sweep(benchmark::State& state, const char* kind) {
  Grow(kind, static_cast<int>(state.range(0)));
  for (auto _ : state) KillProcessesWithOpenFiles(g_disk.c_str(), 0, nullptr, 0);
}
BENCHMARK_CAPTURE(BM_Sweep, descriptors, "descriptors")->ArgsProduct({{100, 500, 2000}});
BENCHMARK_CAPTURE(BM_Sweep, maps, "maps")->ArgsProduct({{100, 300, 1000}});

}  // namespace

int main(int argc, char** argv) {
  if (!IsFirstProcessOfOwnNamespace()) {
    fprintf(stderr, "%s may send signals: run it through scripts/bench.sh\n", argv[0]);
    return 1;
  }
  const std::string base = MakeTempDir();
  g_disk = base + "/disk";
  g_file = base + "/outside/file";
  if (base.empty() || mount("tmpfs", base.c_str(), "tmpfs", 0, nullptr) != 0 || !MakePath(g_disk) ||
      !MakePath(g_file, true) || mount("tmpfs", g_disk.c_str(), "tmpfs", 0, nullptr) != 0 ||
      !MakePath(g_disk + "/sub") ||
      mount("tmpfs", (g_disk + "/sub").c_str(), "tmpfs", 0, nullptr) != 0) {
    perror("making the mounts");
    return 1;
  }
  if (argc > 4 && strcmp(argv[1], "--hold") == 0) {
    Grow(argv[2], atoi(argv[3]));
    setenv("DISK", g_disk.c_str(), 1);
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
