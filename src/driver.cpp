// busyumount: unmounts a mount point even while processes keep it busy. It
// retries a plain unmount, and from the fifth failure on signals the processes
// that hold the mount point: SIGTERM once, SIGKILL after that. Silent unless
// asked to list the holders (-n) or to tell what it does (-v).
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include "Matcher.h"
#include "MountTable.h"
#include "OtherHolders.h"
#include "ProcFiles.h"
#include "ProcessKiller.h"
#include "Sweep.h"

namespace {

constexpr int kAttempts = 10;
constexpr unsigned kPauseSeconds = 1;
// Sweeps follow the failed attempts after this many: the fifth on.
constexpr int kAttemptsWithoutSweep = 4;
// The mounts under the mount point that one attempt with -R unmounts at
// most, and the bytes of their paths; any beyond wait for the next attempt.
constexpr int kMaxSubmounts = 256;
constexpr size_t kSubmountPathsSize = 4 * busyumount::kPathSize;

constexpr char kHelp[] =
    "usage: %s [-R] [-n | -v] [--] <mount_point>\n"
    "\n"
    "Unmounts <mount_point>, trying up to ten times a second apart; from the\n"
    "fifth failure on, signals the processes that hold it: SIGTERM, then SIGKILL.\n"
    "\n"
    "  -R, --recursive  unmount every mount under it too, deepest first, at each\n"
    "                   attempt\n"
    "  -n, --list       list what holds the mount point, and exit: 0 if anything\n"
    "                   does, 1 if nothing, 2 if nothing found but some processes\n"
    "                   could not be inspected; unmounts nothing, signals nobody\n"
    "  -v, --verbose    tell each attempt, each signal and the end on standard error\n"
    "  -h, --help       show this help\n"
    "      --version    show the version\n";

// Writes `text` to `out` with backslashes, control characters and the C1
// controls of UTF-8 escaped (\\, \n, \t, \ooo): the text comes from other
// users, and must neither end a line nor reach the terminal.
void PutEscaped(const char* text, FILE* out) {
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != '\0'; ++c) {
    if (*c == '\\') {
      (void)fputs("\\\\", out);
    } else if (*c == '\n') {
      (void)fputs("\\n", out);
    } else if (*c == '\t') {
      (void)fputs("\\t", out);
    } else if (*c < 0x20 || *c == 0x7f || (*c == 0xc2 && c[1] >= 0x80 && c[1] < 0xa0)) {
      (void)fprintf(out, "\\%03o", *c);
      if (*c == 0xc2) (void)fprintf(out, "\\%03o", *++c);
    } else {
      (void)putc(*c, out);
    }
  }
}

// Writes what `holder` holds, as "cwd /mnt/disk/dir" or "fd 3 /mnt/disk/file".
void PutHold(const BusyumountHolder* holder, FILE* out) {
  static constexpr const char* kHolds[] = {"fd",   "socket fd", "mapping",    "cwd",
                                           "root", "exe",       "io_uring fd"};
  (void)fputs(kHolds[holder->hold], out);
  if (holder->descriptor >= 0) (void)fprintf(out, " %d", holder->descriptor);
  if (holder->thread != holder->pid) (void)fprintf(out, " (thread %d)", holder->thread);
  if (holder->in_place_of_copy) {
    (void)fputs(" in place of a copy", out);
    if (holder->mount_namespace != 0) (void)fprintf(out, " in mnt:[%llu]", holder->mount_namespace);
  } else if (holder->mount_namespace != 0) {
    (void)fprintf(out, " on a copy in mnt:[%llu]", holder->mount_namespace);
  }
  (void)putc(' ', out);
  PutEscaped(holder->path, out);
}

// What a sweep told: holders listed, and processes it could not judge.
struct Told {
  int listed;
  int unjudged;
};

// A line of the listing: "<pid> <command> <what it holds> <path>".
void ListHolder(const BusyumountHolder* holder, void* told) {
  (void)printf("%d ", holder->pid);
  PutEscaped(holder->command, stdout);
  (void)putchar(' ');
  PutHold(holder, stdout);
  (void)putchar('\n');
  ++static_cast<Told*>(told)->listed;
}

// Says on standard error that a process may hold the mount by what the sweep
// could not judge, and why; the sweep does not guess, and signals it not.
void TellUnjudged(const BusyumountHolder* holder, int why, void* told) {
  (void)fprintf(stderr, "busyumount: %d (", holder->pid);
  PutEscaped(holder->command, stderr);
  if (why == busyumount::kUnplacedRing) {
    (void)fprintf(stderr,
                  ") holds files registered with io_uring that this kernel doesn't place "
                  "(io_uring fd %d)\n",
                  holder->descriptor);
  } else {
    (void)fputs(") not judged: holds ", stderr);
    PutHold(holder, stderr);
    (void)fputs(why == busyumount::kUnreadTable
                    ? ", where a mount table it can't read would tell whether that is the mount\n"
                    : ", on a mount that no mount table it could read shows\n",
                stderr);
  }
  ++static_cast<Told*>(told)->unjudged;
}

// A line of a verbose run: "SIGTERM to <pid> (<command>): sent; holds <...>".
void TellSignal(const BusyumountHolder* holder, void*) {
  (void)fprintf(stderr, "busyumount: %s to %d (", holder->signal == SIGKILL ? "SIGKILL" : "SIGTERM",
                holder->pid);
  PutEscaped(holder->command, stderr);
  (void)fprintf(stderr, "): %s; holds ", holder->error == 0 ? "sent" : strerror(holder->error));
  PutHold(holder, stderr);
  if (holder->state == 'D') {
    (void)fputs("; in uninterruptible sleep: it outlives SIGKILL until its I/O ends", stderr);
  }
  (void)putc('\n', stderr);
}

// What keeps the mount busy with no process, a line to `stream` (a FILE*):
// to standard error as a verbose run's, after the tool's name.
void TellOtherHolder(OtherHold hold, const char* device, const char* path, void* stream) {
  FILE* out = static_cast<FILE*>(stream);
  if (out == stderr) (void)fputs("busyumount: kept busy by ", out);
  if (hold == kLoopDevice) {
    (void)fputs("loop device /dev/", out);
    PutEscaped(device, out);
    (void)fputs(" backed by ", out);
  } else {
    (void)fputs(hold == kSubmount ? "submount " : "swap file ", out);
  }
  PutEscaped(path, out);
  (void)putc('\n', out);
}

// Says on standard error what a sweep could not look at: `uninspected`
// processes, those `unjudged` already told of and those whose /proc entries
// were kept from it, or (-1) /proc itself.
void TellUninspected(int uninspected, int unjudged) {
  if (uninspected < 0) {
    (void)fprintf(stderr, "busyumount: could not read /proc: %s\n", strerror(errno));
  } else if ((uninspected -= unjudged) > 0) {
    (void)fprintf(stderr, "busyumount: could not inspect %d process%s: %s\n", uninspected,
                  uninspected == 1 ? "" : "es", strerror(EACCES));
  }
}

// Writes "busyumount: <mount point>: " to standard error.
void TellAbout(const char* mount_point) {
  (void)fputs("busyumount: ", stderr);
  PutEscaped(mount_point, stderr);
  (void)fputs(": ", stderr);
}

// Returns how deep `path` lies: the number of its '/'.
int Depth(const char* path) {
  int depth = 0;
  for (; *path != '\0'; ++path) depth += *path == '/';
  return depth;
}

// Unmounts, deepest first, every mount under `mount_point` that the mount
// table lists, telling each one unmounted when `verbose`. One that won't come
// free keeps the mount point busy, which its own unmount then tells. Its
// buffers are off main's stack before a sweep's are on it.
[[gnu::noinline]] void UnmountSubmounts(const char* mount_point, int verbose) {
  char paths[kSubmountPathsSize];
  size_t offsets[kMaxSubmounts];
  int count = 0;
  size_t used = 0;
  busyumount::Table table;
  if (!busyumount::OpenTable("/proc/self/mountinfo", &table)) return;
  busyumount::Mount mount;
  while (count < kMaxSubmounts && busyumount::ReadMount(&table, &mount)) {
    const size_t length = strlen(mount.mount_point) + 1;
    if (!busyumount::LiesUnder(mount.mount_point, mount_point) || used + length > sizeof(paths)) {
      continue;
    }
    memcpy(paths + used, mount.mount_point, length);
    offsets[count++] = used;
    used += length;
  }
  close(table.fd);
  while (count > 0) {
    int deepest = 0;
    for (int i = 1; i < count; ++i) {
      if (Depth(paths + offsets[i]) > Depth(paths + offsets[deepest])) deepest = i;
    }
    // Of mounts stacked at one path, the one on top goes first, whichever
    // line is taken.
    const char* path = paths + offsets[deepest];
    if (umount(path) == 0 && verbose) {
      TellAbout(path);
      (void)fputs("unmounted\n", stderr);
    }
    offsets[deepest] = offsets[--count];
  }
}

int Usage(const char* program) {
  // Should standard error be gone, there is nobody left to tell.
  (void)fprintf(stderr, "usage: %s  <mount_point>\n", program);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* program = argc > 0 ? argv[0] : "busyumount";
  static const option kOptions[] = {
      {"recursive", no_argument, nullptr, 'R'}, {"list", no_argument, nullptr, 'n'},
      {"verbose", no_argument, nullptr, 'v'},   {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},   {nullptr, 0, nullptr, 0}};
  int recursive = 0;
  int list = 0;
  int verbose = 0;
  // The usage line alone tells of a wrong call; options come first.
  opterr = 0;
  for (int option; (option = getopt_long(argc, argv, "+Rnvh", kOptions, nullptr)) != -1;) {
    if (option == 'R') {
      recursive = 1;
    } else if (option == 'n') {
      list = 1;
    } else if (option == 'v') {
      verbose = 1;
    } else if (option == 'h') {
      (void)printf(kHelp, program);
      return 0;
    } else if (option == 'V') {
      (void)puts("busyumount " BUSYUMOUNT_VERSION);
      return 0;
    } else {
      return Usage(program);
    }
  }
  if (argc - optind != 1) return Usage(program);
  const char* mount_point = argv[optind];
  // Started from under the mount point, the tool holds it too. It must not die
  // by its own SIGTERM before the real holders ever get SIGKILL.
  const pid_t self = getpid();
  // What the sweeps read of the mount tables is kept from one to the next.
  busyumount::BusyMounts mounts;
  busyumount::KeptTables kept;
  busyumount::StartBusyMounts(mount_point, &kept, &mounts);
  busyumount::KeptThreads threads = {};
  Told told = {0, 0};
  if (list) {
    const int uninspected =
        busyumount::SweepWithTables(0, &self, 1, ListHolder, &told, &mounts, TellUnjudged);
    TellUninspected(uninspected, told.unjudged);
    busyumount::CloseBusyMounts(&mounts);
    told.listed += ReportOtherHolders(mount_point, TellOtherHolder, stdout);
    // As fuser does: 1 when nothing holds it; but 2 when it could not look
    // everywhere, since nothing found is then no answer.
    if (told.listed > 0) return 0;
    return uninspected != 0 ? 2 : 1;
  }
  int escalate = 0;
  int attempt = 0;
  int unmounted = 0;
  int error = 0;
  while (attempt < kAttempts) {
    if (recursive) UnmountSubmounts(mount_point, verbose);
    errno = 0;
    unmounted = umount(mount_point) == 0;
    error = errno;
    ++attempt;
    if (unmounted) break;
    if (verbose) (void)fprintf(stderr, "busyumount: attempt %d: %s\n", attempt, strerror(error));
    // Not a mount point, or no such path: no retry can change that.
    if (error == EINVAL || error == ENOENT) break;
    // EBUSY, and EPERM too: a refusal is retried like any other failure.
    sleep(kPauseSeconds);
    if (attempt > kAttemptsWithoutSweep) {
      told.unjudged = 0;
      const int uninspected = busyumount::SweepWithTables(
          escalate ? SIGKILL : SIGTERM, &self, 1, verbose ? TellSignal : nullptr, &told, &mounts,
          verbose ? TellUnjudged : nullptr, &threads);
      if (verbose) TellUninspected(uninspected, told.unjudged);
      escalate = 1;
    }
  }
  busyumount::CloseBusyMounts(&mounts);
  if (verbose) {
    TellAbout(mount_point);
    if (unmounted) {
      (void)fprintf(stderr, "unmounted after %d attempt%s\n", attempt, attempt == 1 ? "" : "s");
    } else if (error == EINVAL || error == ENOENT) {
      (void)fputs(error == EINVAL ? "not a mount point\n" : "no such path\n", stderr);
    } else {
      (void)fprintf(stderr, "still mounted after %d attempts\n", attempt);
      (void)ReportOtherHolders(mount_point, TellOtherHolder, stderr);
    }
  }
  // The status says only that the call was well formed, even when the mount
  // point stayed busy: callers that care check the mount itself.
  return 0;
}
