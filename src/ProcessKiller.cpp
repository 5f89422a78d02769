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
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Matcher.h"
#include "MountTable.h"
#include "ProcFiles.h"
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

// What one sweep reads once and every probe consults.
struct Sweep {
  const char* mount_point;
  BoundSockets sockets;
  MountTables tables;
};

// What the holder test found: the probe that hit, in which thread, and the
// path it read there. Filling it costs no call: the probes read into it.
struct Holding {
  BusyumountHold hold;
  int descriptor;
  pid_t thread;
  int refused;  // a probe was refused for want of permission
  int missing;  // the last link read failed for want of the link
  char path[kPathSize];
};

// Returns 0, noting in `found` why a probe's read failed: for want of
// permission (SELinux, another user's process), which the sweep counts, or
// of the file, as when the process is gone.
int NoteFailure(Holding* found) {
  found->refused |= errno == EACCES || errno == EPERM;
  found->missing = errno == ENOENT;
  return 0;
}

// Returns 1 unless the mount tables show that mount `id`, on which `pid`
// holds the path that matched, is none of the mount point's file systems:
// a directory the mount covers, a look-alike mount elsewhere. An id of -1
// (unread) leaves the path to decide.
int Confirmed(Sweep* sweep, pid_t pid, int id) {
  return id < 0 || MountHoldsMountPoint(&sweep->tables, pid, id);
}

// Returns the mount id of what the link /proc/<pid>/<link_name> leads to, or
// -1. Opening a link with O_PATH asks a local file system or a FUSE daemon
// nothing; the handle's own fdinfo tells its mount.
int LinkMountId(pid_t pid, const char* link_name) {
  char path[kPathSize];
  const int fd = ProcPath(path, pid, link_name) ? open(path, O_PATH | O_CLOEXEC) : -1;
  if (fd < 0) return -1;
  (void)snprintf(path, sizeof(path), "/proc/self/fdinfo/%d", fd);
  const int id = ReadMountId(path);
  close(fd);
  return id;
}

// Returns 1 if the link /proc/<pid>/<link_name> exists and its target lies on
// or under the mount point, on one of its file systems, else 0. On a hit,
// `found` holds the target and `hold`. NFS and the like revalidate what an
// open lands on, and a dead server never answers: there the path decides.
int CheckSymLink(pid_t pid, Sweep* sweep, const char* link_name, BusyumountHold hold,
                 Holding* found) {
  found->hold = hold;
  if (!ReadProcessLink(pid, link_name, found->path)) return NoteFailure(found);
  return PathMatchesMountPoint(found->path, sweep->mount_point) &&
         (OnNetworkFileSystem(&sweep->tables, found->path) ||
          Confirmed(sweep, pid, LinkMountId(pid, link_name)));
}

// Returns the mount id of process `pid`'s descriptor `name`, or -1.
int DescriptorMountId(pid_t pid, const char* name) {
  char path[kPathSize];
  const int length = snprintf(path, sizeof(path), "/proc/%d/fdinfo/%s", pid, name);
  return length > 0 && static_cast<size_t>(length) < sizeof(path) ? ReadMountId(path) : -1;
}

// Returns 1 if one of the process's open descriptors lies on or under the
// mount point, on one of its file systems (a file or a directory), or is a
// socket bound there, else 0. Pipes, unbound sockets and the like never
// match. On a hit, `found` holds the descriptor and its target.
int CheckFileDescriptorSymLinks(pid_t pid, Sweep* sweep, Holding* found) {
  char path[kPathSize];
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
    hit = ReadSymLink(descriptors.fd, name, found->path) &&
          ((PathMatchesMountPoint(found->path, sweep->mount_point) &&
            Confirmed(sweep, pid, DescriptorMountId(pid, name))) ||
           (socket = BoundSocketPath(pid, &sweep->sockets, found->path)) != nullptr);
    if (hit) found->descriptor = get_pid(name);
  }
  CloseDirectory(&descriptors);
  found->hold = socket != nullptr ? BUSYUMOUNT_SOCKET : BUSYUMOUNT_DESCRIPTOR;
  if (socket != nullptr) memcpy(found->path, socket, kSocketPathSize);
  return hit;
}

// Returns 1 if a line of the memory map read from `maps` names a file on or
// under `mount_point`, else 0. The path runs from a line's first '/' to its
// end, newline included, so a mapping of the mount point itself doesn't match.
// A file's name always begins with '/', and the kernel's own names ([heap],
// [anon:<any text>]) with '[': a '/' after a '[' is part of a region's name,
// which any process may set, and holds nothing.
// A line longer than the buffer is read in pieces, and only the first piece
// is judged: a later piece starts in the middle of a path, and its first '/'
// could make a bystander's long path look like one under the mount point.
// On a hit, `found` holds the path, newline cut.
int CheckMapsStream(FILE* maps, const char* mount_point, Holding* found) {
  char line[kMapsLineSize];
  int at_line_start = 1;
  while (fgets(line, sizeof(line), maps) != nullptr) {
    const char* name = strpbrk(line, "/[");
    if (at_line_start && name != nullptr && *name == '/' &&
        PathMatchesMountPoint(name, mount_point)) {
      found->hold = BUSYUMOUNT_MAPPING;
      (void)snprintf(found->path, kPathSize, "%.*s", static_cast<int>(strcspn(name, "\n")), name);
      return 1;
    }
    const size_t length = strlen(line);
    at_line_start = length > 0 && line[length - 1] == '\n';
  }
  return 0;
}

// Returns 1 if the process has a file on or under `mount_point` mapped into
// its memory (a shared library, a mapped data file), else 0.
int CheckFileMaps(pid_t pid, const char* mount_point, Holding* found) {
  char path[kPathSize];
  char buffer[kReadSize];
  if (!ProcPath(path, pid, "maps")) return 0;
  FILE* maps = OpenStream(path, buffer);
  if (maps == nullptr) return NoteFailure(found);
  const int hit = CheckMapsStream(maps, mount_point, found);
  (void)fclose(maps);
  return hit;
}

int HoldsMountPoint(pid_t pid, Sweep* sweep, int threads, Holding* found);

// Returns 1 if a thread of process `pid`, other than its main thread, passes
// the holder test, else 0.
int OtherThreadHolds(pid_t pid, Sweep* sweep, Holding* found) {
  char path[kPathSize];
  Directory threads;
  if (!ProcPath(path, pid, "task") || !OpenDirectory(path, &threads)) return 0;
  int hit = 0;
  while (!hit) {
    const char* name = ReadDirectory(&threads);
    if (name == nullptr) break;
    const pid_t tid = get_pid(name);
    hit = tid > 0 && tid != pid && HoldsMountPoint(tid, sweep, 0, found);
  }
  CloseDirectory(&threads);
  return hit;
}

// The holder test: 1 if process or thread `pid` holds anything under the
// mount point, else 0. The probes run in this order, and the first hit ends
// the test. With `threads`, a process whose main thread has exited is judged
// by its other threads too. On a hit, `found` says what hit.
int HoldsMountPoint(pid_t pid, Sweep* sweep, int threads, Holding* found) {
  found->thread = pid;
  found->descriptor = -1;
  if (CheckFileDescriptorSymLinks(pid, sweep, found) ||
      CheckFileMaps(pid, sweep->mount_point, found)) {
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
         (threads && main_thread_gone && OtherThreadHolds(pid, sweep, found));
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

}  // namespace

void KillProcessesWithOpenFiles(const char* mount_point, int signal_selector,
                                const pid_t* excluded_pids, int excluded_count) {
  ReportProcessesWithOpenFiles(mount_point, signal_selector != 0 ? SIGKILL : SIGTERM, excluded_pids,
                               excluded_count, nullptr, nullptr);
}

int ReportProcessesWithOpenFiles(const char* mount_point, int signal, const pid_t* excluded_pids,
                                 int excluded_count, BusyumountReport report, void* context) {
  Directory proc;
  if (!OpenDirectory("/proc", &proc)) return -1;
  Sweep sweep;
  sweep.mount_point = mount_point;
  NoteBoundSockets(mount_point, &sweep.sockets);
  StartMountTables(mount_point, &sweep.tables);
  Holding found;
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
    found.refused = 0;
    const int hit = HoldsMountPoint(pid, &sweep, 1, &found);
    uninspected += !hit && found.refused;
    // A process that exited meanwhile, or that we may not signal, is passed
    // over; only a caller that asks is told.
    if (hit && !IsExcluded(pid, excluded_pids, excluded_count)) {
      // Read first: a signalled process may be gone by the time of the report,
      // and SIGKILL may wake one from its sleep.
      char command[kCommandSize] = "";
      char state = '\0';
      if (report != nullptr) {
        ReadCommand(handle, command);
        state = ReadState(handle);
      }
      const int error = signal != 0 ? SignalProcess(handle, pid, signal) : 0;
      if (report != nullptr) {
        const BusyumountHolder holder = {pid,     found.thread, found.hold, found.descriptor,
                                         command, found.path,   signal,     error,
                                         state};
        report(&holder, context);
      }
    }
    close(handle);
  }
  CloseDirectory(&proc);
  return uninspected;
}
