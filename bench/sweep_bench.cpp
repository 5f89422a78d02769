// The sweep benchmark. In a private PID namespace it builds a workload of
// processes that each hold descriptors outside a tmpfs mount that nobody
// holds, then measures, on that same workload: one sweep (the pure cost of the
// scan), fuser -m and lsof on the mount, and the system calls of one sweep
// against the count the algorithm itself calls for. In its second mode it
// measures how long the tool takes to free a mount held by processes that exit
// on SIGTERM, its peak resident size, and what it allocates.
//
//   sweep_bench [--processes N] [--descriptors M] [--repetitions R] [--no-compare]
//   sweep_bench --time-to-free TOOL [--holders K] [--repetitions R]
//
// It signals processes, so it runs only as the first process of its own PID
// namespace (scripts/bench.sh sets that up).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "ProcessKiller.h"

namespace {

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

[[noreturn]] void Fail(const char* what) {
  perror(what);
  exit(1);
}

// Forks a child that runs `setup`, reports ready through a pipe and then waits
// for signals forever. Returns its pid once it is ready.
template <typename Setup>
pid_t Spawn(Setup setup) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) Fail("pipe");
  const pid_t pid = fork();
  if (pid < 0) Fail("fork");
  if (pid == 0) {
    const char byte = setup() ? 'r' : 'f';
    if (write(ready[1], &byte, 1) != 1 || byte != 'r') _exit(1);
    for (;;) pause();
  }
  close(ready[1]);
  char byte = 0;
  if (read(ready[0], &byte, 1) != 1 || byte != 'r') Fail("a workload process failed to start");
  close(ready[0]);
  return pid;
}

// Runs `argv` with its output thrown away; returns the seconds it took, and
// its resource use in `usage`.
double Time(const std::vector<std::string>& argv, rusage* usage = nullptr) {
  const double start = Now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char*> words;
    for (const std::string& word : argv) words.push_back(const_cast<char*>(word.c_str()));
    words.push_back(nullptr);
    execvp(words[0], words.data());
    _exit(127);
  }
  rusage ignored;
  int status = 0;
  wait4(pid, &status, 0, usage != nullptr ? usage : &ignored);
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) {
    fprintf(stderr, "%s did not run\n", argv[0].c_str());
    exit(1);
  }
  return Now() - start;
}

// The algorithm's own count of the calls one sweep makes, taken by the same
// walk as the sweep: per process, its descriptors' entries.
struct Workload {
  int processes = 0;
  int descriptors = 0;
};

Workload CountWorkload() {
  Workload workload;
  const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fdopendir(proc);
  while (const dirent* entry = readdir(listing)) {
    if (strspn(entry->d_name, "0123456789") != strlen(entry->d_name)) continue;
    ++workload.processes;
    const std::string process = std::string("/proc/") + entry->d_name;
    // A handle and a raw listing, so that it holds as many descriptors open as
    // the sweep.
    const int handle = open(process.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int fd_dir = open((process + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_dir < 0) continue;
    char buffer[4096];
    for (long size; (size = syscall(SYS_getdents64, fd_dir, buffer, sizeof(buffer))) > 0;) {
      for (long offset = 0; offset < size;) {
        const dirent64* record = reinterpret_cast<const dirent64*>(buffer + offset);
        workload.descriptors += record->d_name[0] != '.';
        offset += record->d_reclen;
      }
    }
    close(fd_dir);
    close(handle);
  }
  closedir(listing);
  return workload;
}

// Counts the system calls of one sweep of `mount_point`, by name: strace
// follows a child that counts the workload, marks the start, sweeps, and marks
// the end. Returns the counts and the workload as the child counted it.
std::map<std::string, int> CountSweepSyscalls(const std::string& mount_point,
                                              const std::string& trace, Workload* workload) {
  int counted[2];
  if (pipe(counted) != 0) Fail("pipe");
  const pid_t sweeper = fork();
  if (sweeper == 0) {
    close(counted[0]);
    // Ready once the tracer has attached.
    for (;;) {
      std::ifstream status("/proc/self/status");
      std::string line;
      while (std::getline(status, line) && line.rfind("TracerPid:", 0) != 0) {
      }
      if (atoi(line.c_str() + 10) != 0) break;
      usleep(1000);
    }
    const Workload seen = CountWorkload();
    if (write(-1, "sweep-begin", 11) < 0) {
    }
    KillProcessesWithOpenFiles(mount_point.c_str(), 0, nullptr, 0);
    if (write(-1, "sweep-end", 9) < 0) {
    }
    if (write(counted[1], &seen, sizeof(seen)) != sizeof(seen)) _exit(1);
    _exit(0);
  }
  close(counted[1]);
  const pid_t tracer = fork();
  if (tracer == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    execlp("strace", "strace", "-qq", "-o", trace.c_str(), "-p", std::to_string(sweeper).c_str(),
           nullptr);
    _exit(127);
  }
  if (read(counted[0], workload, sizeof(*workload)) != sizeof(*workload)) Fail("sweeper");
  waitpid(sweeper, nullptr, 0);
  waitpid(tracer, nullptr, 0);

  std::map<std::string, int> calls;
  std::ifstream lines(trace);
  bool inside = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("\"sweep-begin\"") != line.npos) {
      inside = true;
    } else if (line.find("\"sweep-end\"") != line.npos) {
      inside = false;
    } else if (inside) {
      ++calls[line.substr(0, line.find('('))];
    }
  }
  return calls;
}

struct Options {
  int processes = 500;
  int descriptors = 64;
  int repetitions = 7;
  bool compare = true;
  std::string time_to_free_tool;
  int holders = 50;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--processes" && has_value) {
      options.processes = atoi(argv[++i]);
    } else if (arg == "--descriptors" && has_value) {
      options.descriptors = atoi(argv[++i]);
    } else if (arg == "--repetitions" && has_value) {
      options.repetitions = std::max(1, atoi(argv[++i]));
    } else if (arg == "--no-compare") {
      options.compare = false;
    } else if (arg == "--time-to-free" && has_value) {
      options.time_to_free_tool = argv[++i];
    } else if (arg == "--holders" && has_value) {
      options.holders = atoi(argv[++i]);
    } else {
      fprintf(stderr, "unknown option: %s\n", argv[i]);
      exit(2);
    }
  }
  return options;
}

int Sweeps(const Options& options, const std::string& scratch) {
  const std::string disk = scratch + "/disk";
  const std::string file = scratch + "/outside/file";
  for (int i = 0; i < options.processes; ++i) {
    Spawn([&] {
      for (int d = 0; d < options.descriptors; ++d) {
        if (open(file.c_str(), O_RDONLY) < 0) return false;
      }
      return true;
    });
  }

  KillProcessesWithOpenFiles(disk.c_str(), 0, nullptr, 0);
  std::vector<double> sweeps;
  for (int r = 0; r < options.repetitions; ++r) {
    const double start = Now();
    KillProcessesWithOpenFiles(disk.c_str(), 0, nullptr, 0);
    sweeps.push_back(Now() - start);
  }
  const double sweep = Median(sweeps);

  double fuser = 0;
  double lsof = 0;
  if (options.compare) {
    std::vector<double> fusers;
    std::vector<double> lsofs;
    for (int r = 0; r < options.repetitions; ++r) {
      fusers.push_back(Time({"fuser", "-m", disk}));
      lsofs.push_back(Time({"lsof", "-n", "-P", "-w", disk}));
    }
    fuser = Median(fusers);
    lsof = Median(lsofs);
  }

  Workload workload;
  const std::map<std::string, int> calls =
      CountSweepSyscalls(disk, scratch + "/sweep.trace", &workload);

  const int p = workload.processes;
  const int d = workload.descriptors;
  printf("workload: %d processes in the namespace, %d descriptors among them\n", p, d);
  printf("one sweep (median of %d): %.3f ms, %.2f us a process, %.1f ns a descriptor\n",
         options.repetitions, sweep * 1e3, sweep * 1e6 / p, sweep * 1e9 / d);
  if (options.compare) {
    printf("fuser -m: %.3f ms (%.1fx the sweep); lsof: %.3f ms (%.1fx the sweep)\n", fuser * 1e3,
           fuser / sweep, lsof * 1e3, lsof / sweep);
  }

  // Per descriptor a status call and a link read; per process the handle's
  // open and close, the descriptor directory's open, listing and close, the maps file's open, reads
  // and close, and three named links (a status call and a link read each); once, /proc's open,
  // listing and close. Listings and reads take as many calls as the data needs. Calls are grouped
  // by what they do, since one libc call maps to different system calls on different targets.
  const std::map<std::string, std::string> kind_of = {
      {"open", "open"},          {"openat", "open"},        {"close", "close"},
      {"newfstatat", "status"},  {"fstatat64", "status"},   {"lstat", "status"},
      {"statx", "status"},       {"readlink", "link read"}, {"readlinkat", "link read"},
      {"getdents64", "listing"}, {"read", "read"},
  };
  const std::map<std::string, long> expected = {
      {"open", 3L * p + 1},      {"close", 3L * p + 1}, {"status", d + 3L * p},
      {"link read", d + 3L * p}, {"listing", -1},       {"read", -1},
  };
  std::map<std::string, long> made;
  for (const auto& [name, count] : calls) {
    const auto kind = kind_of.find(name);
    made[kind == kind_of.end() ? name : kind->second] += count;
  }
  for (const auto& [kind, want] : expected) made[kind] += 0;
  long waste = 0;
  printf("system calls of one sweep, by what they do:\n");
  printf("  %-12s %9s %9s\n", "kind", "made", "expected");
  for (const auto& [kind, count] : made) {
    const auto found = expected.find(kind);
    const long want = found == expected.end() ? 0 : found->second;
    printf("  %-12s %9ld %9s\n", kind.c_str(), count,
           want < 0 ? "any" : std::to_string(want).c_str());
    if (want >= 0) waste += std::labs(count - want);
  }
  printf("  per process: %.2f listing calls, %.2f reads\n", made["listing"] / double(p),
         made["read"] / double(p));
  printf("calls beyond or short of the algorithm's count: %ld\n", waste);
  printf("ROW|%d|%d|%d|%d|%.4f|%.4f|%.4f|%ld\n", options.processes, options.descriptors, p, d,
         sweep * 1e3, fuser * 1e3, lsof * 1e3, waste);
  return waste == 0 ? 0 : 1;
}

int TimeToFree(const Options& options, const std::string& scratch) {
  std::vector<double> times;
  long peak_kib = 0;
  for (int r = 0; r < options.repetitions; ++r) {
    const std::string disk = scratch + "/free" + std::to_string(r);
    if (mkdir(disk.c_str(), 0755) != 0 || mount("tmpfs", disk.c_str(), "tmpfs", 0, nullptr) != 0) {
      Fail("mounting a tmpfs");
    }
    std::vector<pid_t> holders;
    for (int h = 0; h < options.holders; ++h) {
      holders.push_back(Spawn([&] { return chdir(disk.c_str()) == 0; }));
    }
    rusage usage;
    times.push_back(Time({options.time_to_free_tool, disk}, &usage));
    peak_kib = std::max(peak_kib, usage.ru_maxrss);
    bool still_mounted = false;
    std::ifstream mounts("/proc/self/mounts");
    for (std::string line; std::getline(mounts, line);) {
      still_mounted |= line.find(" " + disk + " ") != line.npos;
    }
    if (still_mounted) {
      fprintf(stderr, "%s is still mounted\n", disk.c_str());
      return 1;
    }
    for (pid_t pid : holders) waitpid(pid, nullptr, 0);
  }
  const double median = Median(times);
  printf(
      "time to free a mount held by %d processes (median of %d): %.3f s, %.3f s above the "
      "five pauses\n",
      options.holders, options.repetitions, median, median - 5);
  printf("runs: ");
  for (double t : times) printf("%.3f s ", t);
  printf("\npeak resident size of the tool: %ld KiB\n", peak_kib);
  printf("FREE|%d|%.4f|%ld\n", options.holders, median, peak_kib);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  char self[16] = {};
  if (getpid() != 1 || readlink("/proc/self", self, sizeof(self) - 1) <= 0 ||
      strcmp(self, "1") != 0) {
    fprintf(stderr, "%s sends signals: run it through scripts/bench.sh\n", argv[0]);
    return 1;
  }
  char scratch[] = "/tmp/busyumount-bench-XXXXXX";
  if (mkdtemp(scratch) == nullptr || mount("tmpfs", scratch, "tmpfs", 0, nullptr) != 0) {
    Fail("making a scratch tmpfs");
  }
  const std::string base = scratch;
  if (mkdir((base + "/disk").c_str(), 0755) != 0 ||
      mount("tmpfs", (base + "/disk").c_str(), "tmpfs", 0, nullptr) != 0 ||
      mkdir((base + "/outside").c_str(), 0755) != 0 ||
      close(open((base + "/outside/file").c_str(), O_CREAT | O_WRONLY, 0644)) != 0) {
    Fail("making the mount");
  }
  struct rlimit files = {65536, 65536};
  setrlimit(RLIMIT_NOFILE, &files);

  const int status =
      options.time_to_free_tool.empty() ? Sweeps(options, base) : TimeToFree(options, base);
  umount2((base + "/disk").c_str(), MNT_DETACH);
  umount2(scratch, MNT_DETACH);
  rmdir(scratch);
  return status;
}
