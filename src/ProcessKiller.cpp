// The process killer: the sweep over /proc, the holder test's probes, and the
// signals. The holder test also keeps what hit, for a caller that wants to be
// told.
//
// Every failure to read something in /proc (a process that exited meanwhile,
// a file the caller may not read) counts as "no hit" on purpose: the sweep is
// a best effort between unmount attempts, and the next attempt tells whether it
// was enough. Don't turn these into error paths. A process kept from us is
// only counted, so that the caller can say it could not look.
#include "ProcessKiller.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "Matcher.h"
#include "MountNamespaces.h"
#include "MountTable.h"
#include "ProcFiles.h"
#include "Sweep.h"
#include "UnixSockets.h"

static_assert(sizeof(pid_t) == 4, "process ids are signed 32-bit ints");

// The same number on every architecture since Linux 5.1; older C libraries
// don't name it.
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

using namespace busyumount;

namespace {

// A line of a memory map: the longest path and room for the fields before it.
constexpr size_t kMapsLineSize = kPathSize + 100;
// A command name, which the kernel keeps to 15 bytes.
constexpr size_t kCommandSize = 64;
// The start of /proc/<pid>/stat: its id, command name and state.
constexpr size_t kStatSize = 64;
// A line of a ring's fdinfo: a registered file's index and path, escaped.
constexpr size_t kRingLineSize = kPathSize + 32;
// Reads of a ring's fdinfo before its files count as unplaced, and the pause
// between them.
constexpr int kRingReads = 10;
constexpr timespec kRingPause = {0, 1000000};
// kcmp(2)'s types, which older C libraries don't name.
constexpr int kCompareFiles = 2;  // KCMP_FILES: the descriptor table
constexpr int kCompareFs = 3;     // KCMP_FS: the working directory and root

// Descriptors on the nsfs files of mount namespaces that no table read yet
// shows, noted in one walk of /proc, whose tables are read after it.
constexpr int kHeldNamespaces = 8;

// What one sweep reads once and every probe consults.
struct Sweep {
  BusyMounts* mounts;
  BoundSockets sockets;
  KeptThreads* threads;  // the driver's, or null
  int held_count;
  struct {
    pid_t pid;
    int fd;
    unsigned ns;
  } held[kHeldNamespaces];
};

// A hold: the probe, in which thread, by which descriptor, at which path.
struct Hold {
  BusyumountHold hold;
  int descriptor;
  pid_t thread;
  char path[kPathSize];
};

// What the holder test found: the hold that hit (as a Hold's), and the first
// one it could not judge, if none did, and why. Filling it costs no call: the
// probes read into it.
struct Holding {
  BusyumountHold hold;
  int descriptor;
  pid_t thread;
  char path[kPathSize];
  int refused;    // a probe was refused for want of permission
  int missing;    // the last link read failed for want of the link
  CopyHeld copy;  // the mount in a copy's place it holds, if any
  int unjudged;   // why `doubt` could not be judged, or kJudged
  Hold doubt;
};

// Returns 0, noting in `found` why a probe's read failed: for want of
// permission (SELinux, another user's process), which the sweep counts, or
// of the file, as when the process is gone.
int NoteFailure(Holding* found) {
  found->refused |= errno == EACCES || errno == EPERM;
  found->missing = errno == ENOENT;
  return 0;
}

// Returns 1 if `verdict` says the hold `found` names, at `path`, keeps the
// mount busy; for -1, it could not be told why `why` says: that hold is noted
// as the doubt, unless one is already, and counts as no hit.
int Judged(Holding* found, int verdict, const char* path, int why) {
  if (verdict >= 0) return verdict;
  if (found->unjudged != kJudged) return 0;
  found->unjudged = why;
  found->doubt.hold = found->hold;
  found->doubt.descriptor = found->descriptor;
  found->doubt.thread = found->thread;
  // A map line's path runs to its newline.
  (void)snprintf(found->doubt.path, kPathSize, "%.*s", static_cast<int>(strcspn(path, "\n")), path);
  return 0;
}

// Returns 1 if mount `id`, on which `pid` holds the path that matched, is one
// that the unmount takes: not a directory the mount covers, nor a look-alike
// mount elsewhere, nor a copy that the unmount leaves alone. An id of -1
// (unread) leaves the path to decide, as the process's namespace shows it.
int Confirmed(Sweep* sweep, pid_t pid, int id, const char* path, Holding* found) {
  const int verdict = HoldsBusyMount(sweep->mounts, pid, id, path, &found->copy);
  return Judged(found, verdict, path, found->copy.unjudged);
}

// Returns 1 if `pid` holds the path that matched, as its own mount namespace
// shows the mount: for what tells a path and no mount.
int HeldByPath(Sweep* sweep, pid_t pid, const char* path, Holding* found) {
  const int verdict = PathHeldInOwnNamespace(sweep->mounts, pid, path, &found->copy);
  return Judged(found, verdict, path, found->copy.unjudged);
}

// Returns the mount id of what `path`, a link of /proc, leads to, or -1.
// Opening a link with O_PATH asks a local file system or a FUSE daemon
// nothing; the handle's own fdinfo tells its mount.
int LinkedMountId(const char* path) {
  const int fd = open(path, O_PATH | O_CLOEXEC);
  if (fd < 0) return -1;
  char info[64];
  (void)snprintf(info, sizeof(info), "/proc/self/fdinfo/%d", fd);
  const int id = ReadMountId(info);
  close(fd);
  return id;
}

// Returns 1 if the link /proc/<pid>/<link_name> exists and its target lies on
// a mount that the unmount takes, else 0. On a hit, `found` holds the target
// and `hold`. NFS and the like revalidate what an open lands on, and a dead
// server never answers: there the path decides.
int CheckSymLink(pid_t pid, Sweep* sweep, const char* link_name, BusyumountHold hold,
                 Holding* found) {
  char link[kProcPathSize];
  found->hold = hold;
  if (!ProcPath(link, pid, link_name) || !ReadSymLink(AT_FDCWD, link, found->path)) {
    return NoteFailure(found);
  }
  if (!PathOnBusyMount(sweep->mounts, found->path)) return 0;
  if (OnNetworkFileSystem(sweep->mounts, found->path)) {
    return HeldByPath(sweep, pid, found->path, found);
  }
  return Confirmed(sweep, pid, LinkedMountId(link), found->path, found);
}

// Returns the mount id of process `pid`'s descriptor `name`, or -1.
int DescriptorMountId(pid_t pid, const char* name) {
  char path[kProcPathSize];
  const int length = snprintf(path, sizeof(path), "/proc/%d/fdinfo/%s", pid, name);
  return length > 0 && static_cast<size_t>(length) < sizeof(path) ? ReadMountId(path) : -1;
}

// Notes that the files registered with ring `ring` can't be placed.
void NoteUnplaced(Holding* found, int ring) {
  found->hold = BUSYUMOUNT_IO_URING;
  found->descriptor = ring;
  (void)Judged(found, -1, "", kUnplacedRing);
}

// Returns 1 if a file registered with an io_uring ring lies where the
// namespace of the ring's process shows a taken mount, by its path: the
// ring's fdinfo, read from `info`, lists them, "UserFiles:" and then
// "<index>: <path>" each, and tells no mount. A kernel of 6.12 or before
// names only each file's last component, raw, which places nothing, and
// whose newlines could make up a line of their own: a list with a name that
// is no path or indexes out of order is believed in nothing: the ring,
// descriptor `ring` of process `pid`, is noted as unplaced.
// Returns -1 if files are registered but not listed, or nothing is told of
// them: the kernel lists them only when it gets the ring's lock at once,
// which another reader of the same fdinfo, or the ring's own work, may hold.
// On a hit, `found` holds the path.
int CheckRingStream(FILE* info, pid_t pid, int ring, Sweep* sweep, Holding* found) {
  char line[kRingLineSize];
  long files = -1, last = -1;
  int placed = 1, hit = 0;
  while (!hit && fgets(line, sizeof(line), info) != nullptr) {
    if (files < 0) {
      if (strncmp(line, "UserFiles:", 10) == 0) files = strtol(line + 10, nullptr, 10);
      continue;
    }
    char* end = nullptr;
    const long index = strtol(line, &end, 10);
    // The next field ends the list.
    if (end == line || end[0] != ':') break;
    placed &= index > last && index < files && end[1] == ' ' && end[2] == '/' &&
              UnescapeField(end + 2, found->path);
    last = index;
    hit = placed && PathOnBusyMount(sweep->mounts, found->path) &&
          HeldByPath(sweep, pid, found->path, found);
  }
  if (!hit && (files < 0 || (files > 0 && last < 0))) return -1;
  if (!hit && !placed) NoteUnplaced(found, ring);
  return hit;
}

// Returns 1 if a file registered with the ring that is process `pid`'s
// descriptor `name` lies where the process's namespace shows a taken mount,
// as CheckRingStream() judges from the ring's fdinfo. A fdinfo that lists
// nothing is read again, a millisecond apart, a few times before the ring
// counts as unplaced: a busy ring's lock is held for that long at most. A
// function of its own, so that its buffers are off the stack before a
// descriptor's mount is read again.
[[gnu::noinline]] int RingHolds(pid_t pid, const char* name, Sweep* sweep, Holding* found) {
  char path[kProcPathSize];
  char buffer[kReadSize];
  const int length = snprintf(path, sizeof(path), "/proc/%d/fdinfo/%s", pid, name);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof(path)) return 0;
  int hit = -1;
  for (int read = 0; hit < 0 && read < kRingReads; ++read) {
    if (read > 0) (void)nanosleep(&kRingPause, nullptr);
    FILE* info = OpenStream(path, buffer);
    if (info == nullptr) return NoteFailure(found);
    hit = CheckRingStream(info, pid, get_pid(name), sweep, found);
    (void)fclose(info);
  }
  if (hit < 0) NoteUnplaced(found, get_pid(name));
  return hit > 0;
}

// Returns 1 if a socket bound at `bound` lies where the mount namespace of
// process `pid` shows a taken mount; `found->path` holds the path judged.
// A path is bound as its binder's root shows it: a chrooted binder's lies
// under its root.
int SocketHeld(pid_t pid, const char* bound, Sweep* sweep, Holding* found) {
  if (!ReadProcessLink(pid, "root", found->path, kPathSize)) return NoteFailure(found);
  const size_t root = strcmp(found->path, "/") == 0 ? 0 : strlen(found->path);
  const int length = snprintf(found->path + root, kPathSize - root, "%s", bound);
  return length > 0 && static_cast<size_t>(length) < kPathSize - root &&
         HeldByPath(sweep, pid, found->path, found);
}

// Notes descriptor `name` of process `pid`, on the nsfs file of mount
// namespace `target` ("mnt:[<inode>]"), if no table read shows that namespace
// and it may hold copies: one that no process is in, which the descriptor
// keeps.
void NoteHeldNamespace(Sweep* sweep, pid_t pid, const char* name, const char* target) {
  const unsigned ns = static_cast<unsigned>(strtoul(target + 5, nullptr, 10));
  if (!sweep->mounts->taken.propagates || KnownNamespace(sweep->mounts, ns)) return;
  for (int i = 0; i < sweep->held_count; ++i) {
    if (sweep->held[i].ns == ns) return;
  }
  // Any beyond are met again in the next walk.
  if (sweep->held_count < kHeldNamespaces)
    sweep->held[sweep->held_count++] = {pid, get_pid(name), ns};
}

// Returns 1 if one of the process's open descriptors (a file or a directory)
// lies on a mount that the unmount takes, or is a socket bound where its
// namespace shows one, or a ring with a file registered that lies where its
// namespace shows one, else 0. Pipes, unbound sockets and the like never
// match. On a hit, `found` holds the descriptor, its target and the hold.
int CheckFileDescriptorSymLinks(pid_t pid, Sweep* sweep, Holding* found) {
  char path[kProcPathSize];
  Directory descriptors;
  if (!ProcPath(path, pid, "fd")) return 0;
  if (!OpenDirectory(path, &descriptors)) return NoteFailure(found);
  int hit = 0;
  const char* socket = nullptr;
  while (!hit) {
    const char* name = ReadDirectory(&descriptors);
    if (name == nullptr) break;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    // A descriptor closed meanwhile is simply passed over, and so is one that
    // the mount tables turn away: the walk goes on.
    if (!ReadSymLink(descriptors.fd, name, found->path)) continue;
    found->hold = BUSYUMOUNT_DESCRIPTOR;
    if (PathOnBusyMount(sweep->mounts, found->path)) {
      found->descriptor = get_pid(name);
      hit = Confirmed(sweep, pid, DescriptorMountId(pid, name), found->path, found);
    } else if ((socket = BoundSocketPath(pid, &sweep->sockets, found->path)) != nullptr) {
      found->hold = BUSYUMOUNT_SOCKET;
      found->descriptor = get_pid(name);
      hit = SocketHeld(pid, socket, sweep, found);
    } else if (strcmp(found->path, "anon_inode:[io_uring]") == 0) {
      found->hold = BUSYUMOUNT_IO_URING;
      found->descriptor = get_pid(name);
      hit = RingHolds(pid, name, sweep, found);
    } else if (strncmp(found->path, "mnt:[", 5) == 0) {
      NoteHeldNamespace(sweep, pid, name, found->path);
    }
  }
  CloseDirectory(&descriptors);
  if (!hit) found->descriptor = -1;
  return hit;
}

// Returns 1 if the mapping that `line`, of process `pid`'s memory map, tells
// of holds its file, `name`, on a mount that the unmount takes. Only root may
// open /proc/<pid>/map_files, whose handle tells the mount; elsewhere the
// line's device and the path decide.
int MappingHeld(pid_t pid, const char* line, const char* name, Sweep* sweep, Holding* found) {
  found->hold = BUSYUMOUNT_MAPPING;
  // "start-end perms offset major:minor inode path", in hexadecimal, but the
  // file names in map_files have no leading zeros.
  char* next = nullptr;
  const unsigned long start = strtoul(line, &next, 16);
  const unsigned long end = *next == '-' ? strtoul(next + 1, &next, 16) : 0;
  for (int field = 0; field < 2; ++field) {
    next += strspn(next, " ");
    next += strcspn(next, " ");
  }
  const unsigned long major = strtoul(next, &next, 16);
  const unsigned long minor = *next == ':' ? strtoul(next + 1, &next, 16) : 0;
  char path[kProcPathSize];
  if (end == 0 || *next != ' ') return Confirmed(sweep, pid, -1, name, found);
  const int length = snprintf(path, sizeof(path), "/proc/%d/map_files/%lx-%lx", pid, start, end);
  const int id =
      length > 0 && static_cast<size_t>(length) < sizeof(path) ? LinkedMountId(path) : -1;
  if (id >= 0) return Confirmed(sweep, pid, id, name, found);
  return OnBusyDevice(sweep->mounts, static_cast<unsigned>(major), static_cast<unsigned>(minor)) &&
         HeldByPath(sweep, pid, name, found);
}

// Returns 1 if a line of the memory map of process `pid`, read from `maps`,
// names a file on a mount that the unmount takes, else 0. The path runs from
// a line's first '/' to its end, newline included, so a mapping of the mount
// point itself doesn't match.
// A file's name always begins with '/', and the kernel's own names ([heap],
// [anon:<any text>]) with '[': a '/' after a '[' is part of a region's name,
// which any process may set, and holds nothing.
// A line longer than the buffer is read in pieces, and only the first piece
// is judged: a later piece starts in the middle of a path, and its first '/'
// could make a bystander's long path look like one under the mount point.
// On a hit, `found` holds the path, newline cut.
int CheckMapsStream(FILE* maps, pid_t pid, Sweep* sweep, Holding* found) {
  char line[kMapsLineSize];
  int at_line_start = 1;
  while (fgets(line, sizeof(line), maps) != nullptr) {
    const char* name = strpbrk(line, "/[");
    if (at_line_start && name != nullptr && *name == '/' && PathOnBusyMount(sweep->mounts, name) &&
        MappingHeld(pid, line, name, sweep, found)) {
      (void)snprintf(found->path, kPathSize, "%.*s", static_cast<int>(strcspn(name, "\n")), name);
      return 1;
    }
    const size_t length = strlen(line);
    at_line_start = length > 0 && line[length - 1] == '\n';
  }
  return 0;
}

// Returns 1 if the process has a file on a mount that the unmount takes mapped
// into its memory (a shared library, a mapped data file), else 0.
int CheckFileMaps(pid_t pid, Sweep* sweep, Holding* found) {
  char path[kProcPathSize];
  char buffer[kReadSize];
  if (!ProcPath(path, pid, "maps")) return 0;
  FILE* maps = OpenStream(path, buffer);
  if (maps == nullptr) return NoteFailure(found);
  const int hit = CheckMapsStream(maps, pid, sweep, found);
  (void)fclose(maps);
  return hit;
}

int HoldsMountPoint(pid_t pid, Sweep* sweep, int threads, Holding* found);

// Returns 1 unless thread `tid` shares its `what` (kCompareFiles,
// kCompareFs) with the main thread of process `pid`; 1 too where the kernel
// can't compare them, so that the thread's own is read.
int ApartFromMainThread(pid_t pid, pid_t tid, int what) {
#ifdef SYS_kcmp
  return syscall(SYS_kcmp, pid, tid, what, 0, 0) != 0;
#else
  return 1;
#endif
}

// Returns the slot of process `pid` among those kept, or of a free one for
// it, or -1 if neither is near.
int KeptSlot(KeptThreads* kept, pid_t pid) {
  for (int i = pid % kKeptProcesses, probes = 0; probes < kKeptProcesses / 4;
       i = (i + 1) % kKeptProcesses, ++probes) {
    if (kept->processes[i].pid == pid || kept->processes[i].pid == 0) return i;
  }
  return -1;
}

// Returns 1 if a thread of process `pid` other than its main thread holds
// anything under the mount point by what is its own, else 0: with `every`
// (the main thread is gone, and the process's links with it), by the whole
// holder test; else by a descriptor table, or a working directory and root,
// that it doesn't share with the main thread (unshare(CLONE_FILES),
// unshare(CLONE_FS)), two compares a thread. A process of one thread costs a
// status call: its task directory has two links more than it has threads.
// So does one whose threads all shared everything at the driver's last
// sweep, their task directory and number the same.
int OtherThreadHolds(pid_t pid, Sweep* sweep, int every, Holding* found) {
  char path[kProcPathSize];
  struct stat task;
  Directory threads;
  if (!ProcPath(path, pid, "task")) return 0;
  int slot = -1;
  if (!every) {
    if (stat(path, &task) != 0 || task.st_nlink <= 3) return 0;
    slot = sweep->threads != nullptr ? KeptSlot(sweep->threads, pid) : -1;
    if (slot >= 0 && sweep->threads->processes[slot].pid == pid &&
        sweep->threads->processes[slot].task == task.st_ino &&
        sweep->threads->processes[slot].threads == task.st_nlink) {
      return 0;
    }
  }
  if (!OpenDirectory(path, &threads)) return 0;
  int hit = 0, apart = 0;
  while (!hit) {
    const char* name = ReadDirectory(&threads);
    if (name == nullptr) break;
    const pid_t tid = get_pid(name);
    if (tid <= 0 || tid == pid) continue;
    found->thread = tid;
    if (every) {
      hit = HoldsMountPoint(tid, sweep, 0, found);
      continue;
    }
    const int files = ApartFromMainThread(pid, tid, kCompareFiles);
    const int fs = ApartFromMainThread(pid, tid, kCompareFs);
    apart |= files || fs;
    hit = (files && CheckFileDescriptorSymLinks(tid, sweep, found)) ||
          (fs && (CheckSymLink(tid, sweep, "cwd", BUSYUMOUNT_CWD, found) ||
                  CheckSymLink(tid, sweep, "root", BUSYUMOUNT_ROOT, found)));
  }
  CloseDirectory(&threads);
  if (!hit) found->thread = pid;
  if (!hit && !apart && slot >= 0) {
    sweep->threads->processes[slot] = {pid, static_cast<unsigned>(task.st_ino),
                                       static_cast<unsigned>(task.st_nlink)};
  }
  return hit;
}

// The holder test: 1 if process or thread `pid` holds anything under the
// mount point, else 0. The probes run in this order, and the first hit ends
// the test. With `threads`, a process is judged by what its other threads
// have of their own too. On a hit, `found` says what hit.
int HoldsMountPoint(pid_t pid, Sweep* sweep, int threads, Holding* found) {
  found->thread = pid;
  found->descriptor = -1;
  found->copy = {0, 0, kJudged};
  if (CheckFileDescriptorSymLinks(pid, sweep, found) || CheckFileMaps(pid, sweep, found)) {
    return 1;
  }
  found->missing = 0;
  if (CheckSymLink(pid, sweep, "cwd", BUSYUMOUNT_CWD, found)) return 1;
  // Every live thread has a working directory. A process without one has
  // lost its main thread, and its own links show nothing of what the others
  // hold.
  const int main_thread_gone = found->missing;
  return CheckSymLink(pid, sweep, "root", BUSYUMOUNT_ROOT, found) ||
         CheckSymLink(pid, sweep, "exe", BUSYUMOUNT_EXE, found) ||
         (threads && OtherThreadHolds(pid, sweep, main_thread_gone, found));
}

// Returns 1 if `pid` is among the first `count` ids of `pids`, else 0.
int IsExcluded(pid_t pid, const pid_t* pids, int count) {
  for (int i = 0; i < count; ++i) {
    if (pids[i] == pid) return 1;
  }
  return 0;
}

// Sends `signal` to the process that `handle` (its /proc directory, open)
// stands for; returns 0, or the errno of the refusal. Once the process has
// exited, its id may belong to another process, which must not get the
// signal: the handle refuses with ESRCH. Only a kernel older than the call
// (ENOSYS) leaves the plain kill() by id.
int SignalProcess(int handle, pid_t pid, int signal) {
  if (syscall(SYS_pidfd_send_signal, handle, signal, nullptr, 0) == 0) return 0;
  if (errno != ENOSYS) return errno;
  return kill(pid, signal) == 0 ? 0 : errno;
}

// Reads up to `size` - 1 bytes of the file `name` of the process that
// `handle` stands for into `text`, NUL-terminated ("" if it can't be read).
void ReadProcessFile(int handle, const char* name, char* text, size_t size) {
  ssize_t length = -1;
  const int fd = openat(handle, name, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    length = read(fd, text, size - 1);
    close(fd);
  }
  text[length > 0 ? length : 0] = '\0';
}

// Reads the command name of the process that `handle` stands for into
// `command` (kCommandSize bytes), NUL-terminated; "" if it can't be read.
void ReadCommand(int handle, char* command) {
  ReadProcessFile(handle, "comm", command, kCommandSize);
  command[strcspn(command, "\n")] = '\0';
}

// Returns the state of the process that `handle` stands for, or 0 if it
// can't be read. It follows the command name, whose parentheses may hold
// anything but the last ')'.
char ReadState(int handle) {
  char stat[kStatSize];
  ReadProcessFile(handle, "stat", stat, sizeof(stat));
  const char* end = strrchr(stat, ')');
  return end != nullptr && end[1] == ' ' ? end[2] : '\0';
}

// What the caller of a sweep asks.
struct Request {
  int signal;
  const pid_t* excluded_pids;
  int excluded_count;
  BusyumountReport report;
  UnjudgedReport unjudged;
  void* context;
};

// Signals the process that `handle` stands for, `pid`, which holds what
// `found` says, unless it is spared, and tells the report. A process that
// exited meanwhile, or that we may not signal, is passed over; only a caller
// that asks is told.
void Signal(const Request& r, int handle, pid_t pid, const Holding& found) {
  if (IsExcluded(pid, r.excluded_pids, r.excluded_count)) return;
  // Read first: a signalled process may be gone by the time of the report,
  // and SIGKILL may wake one from its sleep.
  char command[kCommandSize] = "";
  char state = '\0';
  if (r.report != nullptr) {
    ReadCommand(handle, command);
    state = ReadState(handle);
  }
  const int error = r.signal != 0 ? SignalProcess(handle, pid, r.signal) : 0;
  if (r.report == nullptr) return;
  const BusyumountHolder holder = {pid,
                                   found.thread,
                                   found.hold,
                                   found.descriptor,
                                   command,
                                   found.path,
                                   r.signal,
                                   error,
                                   state,
                                   found.copy.mount_namespace,
                                   found.copy.replaced};
  r.report(&holder, r.context);
}

// Tells the caller that the process `handle` stands for, `pid`, may hold
// what `found` doubts, which could not be judged.
void TellUnjudged(const Request& r, int handle, pid_t pid, const Holding& found) {
  char command[kCommandSize];
  ReadCommand(handle, command);
  const BusyumountHolder holder = {pid,
                                   found.doubt.thread,
                                   found.doubt.hold,
                                   found.doubt.descriptor,
                                   command,
                                   found.doubt.path,
                                   0,
                                   0,
                                   '\0',
                                   0,
                                   0};
  r.unjudged(&holder, found.unjudged, r.context);
}

// One walk over /proc: judges each process and signals the holders; returns
// how many processes it could not judge, or -1 if /proc can't be read. Walked
// `again`, once namespaces that no process is in were read, it passes over
// every process that held the mount without them (the masked ones), and only
// judges what they add.
int Walk(const Request& r, Sweep* sweep, Holding* found, int again) {
  Directory proc;
  if (!OpenDirectory("/proc", &proc)) return -1;
  const int masked = sweep->mounts->masked_count;
  int uninspected = 0;
  while (const char* name = ReadDirectory(&proc)) {
    const pid_t pid = get_pid(name);
    // Not a process. A pid of 0 or less would signal a whole process group,
    // or every process, so none may ever reach kill().
    if (pid <= 0) continue;
    // The handle, /proc/<pid> open, pins the process judged here, whatever
    // its id comes to name by the time of the signal. Without it, it is gone.
    const int handle = openat(proc.fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle < 0) continue;
    found->refused = 0;
    found->unjudged = kJudged;
    int hit = again && HoldsMountPoint(pid, sweep, 1, found) ? -1 : 0;
    sweep->mounts->masked_count = 0;
    if (hit == 0) hit = HoldsMountPoint(pid, sweep, 1, found);
    sweep->mounts->masked_count = masked;
    if (hit == 0 && !again && (found->refused || found->unjudged != kJudged)) {
      ++uninspected;
      if (found->unjudged != kJudged && r.unjudged != nullptr) TellUnjudged(r, handle, pid, *found);
    }
    if (hit > 0) Signal(r, handle, pid, *found);
    close(handle);
  }
  CloseDirectory(&proc);
  return uninspected;
}

// The walks over /proc of SweepWithTables(), once the tables are read: a
// function of its own, so that the tables' buffers are off the stack before
// the probes' are on it. Namespaces that no process is in, met through
// descriptors on their nsfs files, are read after a walk, and walked again:
// none can be read in the middle of one, when the processes before were judged
// without it.
[[gnu::noinline]] int SweepProcesses(const Request& r, BusyMounts* mounts, KeptThreads* threads) {
  Sweep sweep;
  sweep.mounts = mounts;
  sweep.threads = threads;
  sweep.held_count = 0;
  NoteBoundSockets(mounts->paths.text, mounts->paths.count, mounts->paths.left_out, &sweep.sockets);
  Holding found;
  const int uninspected = Walk(r, &sweep, &found, 0);
  unsigned read[kHeldNamespaces];
  while (uninspected >= 0 && sweep.held_count > 0) {
    const int copies = mounts->copies.count, links = mounts->copies.link_count;
    int count = 0;
    for (int i = 0; i < sweep.held_count; ++i) {
      char path[kProcPathSize];
      const int length =
          snprintf(path, sizeof(path), "/proc/%d/fd/%d", sweep.held[i].pid, sweep.held[i].fd);
      const int ns = length > 0 && static_cast<size_t>(length) < sizeof(path)
                         ? open(path, O_RDONLY | O_CLOEXEC)
                         : -1;
      if (ns >= 0 && ReadHeldNamespace(mounts, ns, sweep.held[i].ns))
        read[count++] = sweep.held[i].ns;
      if (ns >= 0) close(ns);
    }
    sweep.held_count = 0;
    // Nothing new to be found: no copy, no link.
    if (count == 0 || (mounts->copies.count == copies && mounts->copies.link_count == links)) break;
    NoteBoundSockets(mounts->paths.text, mounts->paths.count, mounts->paths.left_out,
                     &sweep.sockets);
    mounts->masked = read;
    mounts->masked_count = count;
    (void)Walk(r, &sweep, &found, 1);
  }
  mounts->masked = nullptr;
  mounts->masked_count = 0;
  return uninspected;
}

}  // namespace

namespace busyumount {

int SweepWithTables(int signal, const pid_t* excluded_pids, int excluded_count,
                    BusyumountReport report, void* context, BusyMounts* mounts,
                    UnjudgedReport unjudged, KeptThreads* threads) {
  ReadBusyMounts(mounts);
  const Request request = {signal, excluded_pids, excluded_count, report, unjudged, context};
  return SweepProcesses(request, mounts, threads);
}

}  // namespace busyumount

void KillProcessesWithOpenFiles(const char* mount_point, int signal_selector,
                                const pid_t* excluded_pids, int excluded_count) {
  ReportProcessesWithOpenFiles(mount_point, signal_selector != 0 ? SIGKILL : SIGTERM, excluded_pids,
                               excluded_count, nullptr, nullptr);
}

int ReportProcessesWithOpenFiles(const char* mount_point, int signal, const pid_t* excluded_pids,
                                 int excluded_count, BusyumountReport report, void* context) {
  BusyMounts mounts;
  StartBusyMounts(mount_point, nullptr, &mounts);
  const int uninspected =
      SweepWithTables(signal, excluded_pids, excluded_count, report, context, &mounts);
  CloseBusyMounts(&mounts);
  return uninspected;
}
