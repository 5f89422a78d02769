// busyumount: unmounts a mount point even while processes keep it busy. It
// retries a plain unmount, and from the fifth failure on signals the processes
// that hold the mount point: SIGTERM once, SIGKILL after that. Silent unless
// asked to list the holders (-n) or to tell what it does (-v).
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <linux/loop.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
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
// The loop devices that keep the mount busy that one attempt with -R takes
// down at most; any beyond wait for the next.
constexpr int kMaxLoops = 16;

constexpr char kHelp[] =
    "usage: %s [-R] [-n | -v] [--] <mount_point>\n"
    "\n"
    "Unmounts <mount_point>, trying up to ten times a second apart; from the\n"
    "fifth failure on, signals the processes that hold it: SIGTERM, then SIGKILL.\n"
    "\n"
    "  -R, --recursive  at each attempt, take down first what hangs on it: every\n"
    "                   mount under it, deepest first, and each loop device backed\n"
    "                   by a file on it, its mounts unmounted (and their holders\n"
    "                   signalled as the mount's own) and then itself detached\n"
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

// Writes what `holder` holds, as "cwd /mnt/disk/dir" or "fd 3 /mnt/disk/file",
// or with `through`, a loop device's node, "cwd through loop device
// /dev/loop0 /mnt/iso/dir".
void PutHold(const BusyumountHolder* holder, const char* through, FILE* out) {
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
  if (through != nullptr) {
    (void)fputs(" through loop device ", out);
    PutEscaped(through, out);
  }
  (void)putc(' ', out);
  PutEscaped(holder->path, out);
}

// What a sweep told: holders listed, and processes it could not judge; and
// the loop device, if any, through which the mount it sweeps holds the mount
// point.
struct Told {
  int listed;
  int unjudged;
  const char* through;
};

// A line of the listing: "<pid> <command> <what it holds> <path>".
void ListHolder(const BusyumountHolder* holder, void* told) {
  (void)printf("%d ", holder->pid);
  PutEscaped(holder->command, stdout);
  (void)putchar(' ');
  PutHold(holder, static_cast<Told*>(told)->through, stdout);
  (void)putchar('\n');
  ++static_cast<Told*>(told)->listed;
}

// The same on standard error, at the end of a verbose run: "busyumount: <pid>
// (<command>) holds <what it holds> <path>".
void TellHolder(const BusyumountHolder* holder, void* told) {
  (void)fprintf(stderr, "busyumount: %d (", holder->pid);
  PutEscaped(holder->command, stderr);
  (void)fputs(") holds ", stderr);
  PutHold(holder, static_cast<Told*>(told)->through, stderr);
  (void)putc('\n', stderr);
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
    PutHold(holder, static_cast<Told*>(told)->through, stderr);
    (void)fputs(why == busyumount::kUnreadTable
                    ? ", where a mount table it can't read would tell whether that is the mount\n"
                    : ", on a mount that no mount table it could read shows\n",
                stderr);
  }
  ++static_cast<Told*>(told)->unjudged;
}

// A line of a verbose run: "SIGTERM to <pid> (<command>): sent; holds <...>".
void TellSignal(const BusyumountHolder* holder, void* told) {
  (void)fprintf(stderr, "busyumount: %s to %d (", holder->signal == SIGKILL ? "SIGKILL" : "SIGTERM",
                holder->pid);
  PutEscaped(holder->command, stderr);
  (void)fprintf(stderr, "): %s; holds ", holder->error == 0 ? "sent" : strerror(holder->error));
  PutHold(holder, static_cast<Told*>(told)->through, stderr);
  if (holder->state == 'D') {
    (void)fputs("; in uninterruptible sleep: it outlives SIGKILL until its I/O ends", stderr);
  }
  (void)putc('\n', stderr);
}

// What keeps the mount busy with no process, a line to `stream` (a FILE*):
// to standard error as a verbose run's, after the tool's name.
void TellOtherHolder(OtherHold hold, const char* name, const char* path, void* stream) {
  FILE* out = static_cast<FILE*>(stream);
  if (out == stderr) (void)fputs("busyumount: kept busy by ", out);
  if (hold == kInterpreter) {
    (void)fputs("binfmt_misc interpreter ", out);
    PutEscaped(name, out);
    (void)fputs(" from ", out);
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

// Mount points of the sweeper's namespace, to be unmounted deepest first.
struct MountPoints {
  char paths[kSubmountPathsSize];
  size_t offsets[kMaxSubmounts];
  int count;
};

// Fills `points` with the mount points in the sweeper's mount table that lie
// under `under`, or for a null `under`, of the mounts of device major:minor.
void NoteMountPoints(const char* under, unsigned major, unsigned minor, MountPoints* points) {
  size_t used = 0;
  busyumount::Table table;
  busyumount::Mount mount;
  points->count = 0;
  if (!busyumount::OpenTable("/proc/self/mountinfo", &table)) return;
  while (points->count < kMaxSubmounts && busyumount::ReadMount(&table, &mount)) {
    const size_t length = strlen(mount.mount_point) + 1;
    if ((under != nullptr ? !busyumount::LiesUnder(mount.mount_point, under)
                          : mount.major != major || mount.minor != minor) ||
        used + length > sizeof(points->paths)) {
      continue;
    }
    memcpy(points->paths + used, mount.mount_point, length);
    points->offsets[points->count++] = used;
    used += length;
  }
  close(table.fd);
}

// Returns the deepest of `points`, taking it out of them, or null when none
// is left. Of mounts stacked at one path, the one on top goes first, whichever
// line is taken.
const char* TakeDeepest(MountPoints* points) {
  if (points->count == 0) return nullptr;
  int deepest = 0;
  for (int i = 1; i < points->count; ++i) {
    if (Depth(points->paths + points->offsets[i]) >
        Depth(points->paths + points->offsets[deepest])) {
      deepest = i;
    }
  }
  const char* path = points->paths + points->offsets[deepest];
  points->offsets[deepest] = points->offsets[--points->count];
  return path;
}

// Unmounts `path`, telling so when `verbose`. One that won't come free keeps
// the mount point busy, which its own unmount then tells.
void Unmount(const char* path, int verbose) {
  if (umount(path) == 0 && verbose) {
    TellAbout(path);
    (void)fputs("unmounted\n", stderr);
  }
}

// Unmounts, deepest first, every mount under `mount_point` that the mount
// table lists, as Unmount() does. Its buffers are off main's stack before a
// sweep's are on it.
[[gnu::noinline]] void UnmountSubmounts(const char* mount_point, int verbose) {
  MountPoints points;
  NoteMountPoints(mount_point, 0, 0, &points);
  while (const char* path = TakeDeepest(&points)) Unmount(path, verbose);
}

// The loop devices that keep the mount busy, those on the mounts of others
// first, as the library tells them.
struct Chain {
  struct {
    unsigned major, minor;
    int autoclear;
    // Its node ("/dev/loop0"), or where it has none, its numbers ("7:0"):
    // the library then leaves it alone.
    char name[busyumount::kProcPathSize];
    char backing_file[busyumount::kPathSize];
    char left_alone[128];                   // why -R leaves it alone, or ""
    unsigned long long elsewhere_ns;        // another namespace that mounts it, or 0
    char elsewhere[busyumount::kPathSize];  // where that one mounts it
  } loops[kMaxLoops];
  int count;
};

void NoteLoop(const BusyumountLoopDevice* loop, void* chain) {
  Chain* c = static_cast<Chain*>(chain);
  if (c->count == kMaxLoops) return;
  auto& noted = c->loops[c->count++];
  noted.major = loop->major;
  noted.minor = loop->minor;
  noted.autoclear = loop->autoclear;
  if (loop->device[0] != '\0') {
    (void)snprintf(noted.name, sizeof(noted.name), "%s", loop->device);
  } else {
    (void)snprintf(noted.name, sizeof(noted.name), "%u:%u", loop->major, loop->minor);
  }
  (void)snprintf(noted.backing_file, sizeof(noted.backing_file), "%s", loop->backing_file);
  (void)snprintf(noted.left_alone, sizeof(noted.left_alone), "%s",
                 loop->left_alone != nullptr ? loop->left_alone : "");
  noted.elsewhere_ns = loop->mounted_there != nullptr ? loop->mount_namespace : 0;
  (void)snprintf(noted.elsewhere, sizeof(noted.elsewhere), "%s",
                 loop->mounted_there != nullptr ? loop->mounted_there : "");
}

// Reads into `chain` the loop devices that keep `mount_point` busy; returns
// how many there are.
int ReadChain(const char* mount_point, Chain* chain) {
  chain->count = 0;
  const int told = ReportLoopDevices(mount_point, NoteLoop, chain);
  return told > 0 ? told : 0;
}

// Returns 1 if loop device major:minor is attached, as /sys/dev/block tells.
int Attached(unsigned major, unsigned minor) {
  char path[busyumount::kProcPathSize];
  (void)snprintf(path, sizeof(path), "/sys/dev/block/%u:%u/loop/backing_file", major, minor);
  return access(path, F_OK) == 0;
}

// Takes down the loop devices that keep `mount_point` busy, as the library
// reads them into `chain`: unmounts each one's mounts in the sweeper's
// namespace, and what lies under them, as submounts; then detaches it, unless
// something still claims it (a mount, there or elsewhere) or the kernel
// clears it itself. Tells each step when `verbose`.
[[gnu::noinline]] void TakeDownLoops(const char* mount_point, int verbose, Chain* chain) {
  (void)ReadChain(mount_point, chain);
  for (int i = 0; i < chain->count; ++i) {
    const auto& loop = chain->loops[i];
    if (loop.left_alone[0] != '\0') continue;
    MountPoints points;
    NoteMountPoints(nullptr, loop.major, loop.minor, &points);
    while (const char* path = TakeDeepest(&points)) {
      UnmountSubmounts(path, verbose);
      Unmount(path, verbose);
    }
    // A mount anywhere, or a device-mapper target, claims the device and
    // refuses an exclusive open; the kernel detaches it only once all who
    // opened it closed it.
    const int fd = loop.autoclear ? -1 : open(loop.name, O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd >= 0) {
      (void)ioctl(fd, LOOP_CLR_FD, 0);
      close(fd);
    }
    if (verbose && (fd >= 0 || loop.autoclear) && !Attached(loop.major, loop.minor)) {
      (void)fputs("busyumount: loop device ", stderr);
      PutEscaped(loop.name, stderr);
      (void)fputs(": detached\n", stderr);
    }
  }
}

// Writes "[busyumount: ]loop device <name> mounted at <path>", and then
// `after` and a newline.
void PutLoopMount(const char* prefix, const char* name, const char* path, const char* after,
                  FILE* out) {
  (void)fprintf(out, "%sloop device ", prefix);
  PutEscaped(name, out);
  (void)fputs(" mounted at ", out);
  PutEscaped(path, out);
  (void)fprintf(out, "%s\n", after);
}

// Sweeps with `signal` each mount of a loop device of `chain` in the sweeper's
// namespace, sparing `self`, as the mount point's own sweep does, and tells
// `report` of each holder as reached through the device. With `out`, tells
// there each device ("loop device /dev/loop0 backed by /media/usb/img") and
// each of its mounts ("loop device /dev/loop0 mounted at /mnt/iso") before
// their holders, then one in another namespace ("... in mnt:[N]"), if any:
// the sweep reaches its holders only on a copy of one here. A signal spares
// the devices -R leaves alone; a mount under the mount point is the mount
// point's own sweep's.
[[gnu::noinline]] void SweepLoops(const char* mount_point, const Chain* chain, int signal,
                                  const pid_t* self, FILE* out, BusyumountReport report, Told* told,
                                  busyumount::UnjudgedReport unjudged) {
  const char* prefix = out == stderr ? "busyumount: " : "";
  for (int i = 0; i < chain->count; ++i) {
    const auto& loop = chain->loops[i];
    if (signal != 0 && loop.left_alone[0] != '\0') continue;
    if (out != nullptr) {
      (void)fprintf(out, "%s%sloop device ", prefix, out == stderr ? "kept busy by " : "");
      PutEscaped(loop.name, out);
      (void)fputs(" backed by ", out);
      PutEscaped(loop.backing_file, out);
      if (loop.left_alone[0] != '\0')
        (void)fprintf(out, "; -R leaves it alone: %s", loop.left_alone);
      (void)putc('\n', out);
    }
    MountPoints points;
    NoteMountPoints(nullptr, loop.major, loop.minor, &points);
    for (int j = 0; j < points.count; ++j) {
      const char* path = points.paths + points.offsets[j];
      if (out != nullptr) PutLoopMount(prefix, loop.name, path, "", out);
      if (busyumount::PathMatchesMountPoint(path, mount_point)) continue;
      busyumount::BusyMounts mounts;
      busyumount::StartBusyMounts(path, nullptr, &mounts);
      told->through = loop.name;
      (void)busyumount::SweepWithTables(signal, self, 1, report, told, &mounts, unjudged);
      told->through = nullptr;
      busyumount::CloseBusyMounts(&mounts);
    }
    if (out != nullptr && loop.elsewhere_ns != 0) {
      char in[48];
      (void)snprintf(in, sizeof(in), " in mnt:[%llu]", loop.elsewhere_ns);
      PutLoopMount(prefix, loop.name, loop.elsewhere, in, out);
    }
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
  Told told = {0, 0, nullptr};
  Chain chain;
  if (list) {
    const int uninspected =
        busyumount::SweepWithTables(0, &self, 1, ListHolder, &told, &mounts, TellUnjudged);
    TellUninspected(uninspected, told.unjudged);
    busyumount::CloseBusyMounts(&mounts);
    told.listed += ReadChain(mount_point, &chain);
    SweepLoops(mount_point, &chain, 0, &self, stdout, ListHolder, &told, TellUnjudged);
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
    if (recursive) {
      TakeDownLoops(mount_point, verbose, &chain);
      UnmountSubmounts(mount_point, verbose);
    }
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
      const int signal = escalate ? SIGKILL : SIGTERM;
      const int uninspected =
          busyumount::SweepWithTables(signal, &self, 1, verbose ? TellSignal : nullptr, &told,
                                      &mounts, verbose ? TellUnjudged : nullptr, &threads);
      // The holders of the mounts of its loop devices, which -R unmounts, as
      // they are now: a device detached since may serve another mount.
      if (recursive && ReadChain(mount_point, &chain) > 0) {
        SweepLoops(mount_point, &chain, signal, &self, nullptr, verbose ? TellSignal : nullptr,
                   &told, verbose ? TellUnjudged : nullptr);
      }
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
      (void)ReadChain(mount_point, &chain);
      SweepLoops(mount_point, &chain, 0, &self, stderr, TellHolder, &told, TellUnjudged);
      (void)ReportOtherHolders(mount_point, TellOtherHolder, stderr);
    }
  }
  // The status says only that the call was well formed, even when the mount
  // point stayed busy: callers that care check the mount itself.
  return 0;
}
