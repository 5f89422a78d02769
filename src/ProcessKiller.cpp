// The process killer: the sweep over /proc, the holder test's probes and the
// matcher that decides whether a path lies on or under the mount point. The
// holder test also keeps what hit, for a caller that wants to be told.
//
// Every failure to read something in /proc (a process that exited meanwhile,
// a file the caller may not read) counts as "no hit" on purpose: the sweep is
// a best effort between unmount attempts, and the next attempt tells whether it
// was enough. Don't turn these into error paths.
#include "ProcessKiller.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

static_assert(sizeof(pid_t) == 4, "process ids are signed 32-bit ints");

// The same number on every architecture since Linux 5.1; older C libraries
// don't name it.
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

namespace {

// A path or a link target; a target is read up to kPathSize - 1 bytes.
constexpr size_t kPathSize = 4096;
// A line of a memory map: the longest path and room for the fields before it.
constexpr size_t kMapsLineSize = kPathSize + 100;
// What one read of a memory map or of a directory's records may bring in.
constexpr size_t kReadSize = 8192;
// Unix sockets bound under the mount point that one sweep can note.
constexpr int kMaxBoundSockets = 64;
// A socket's bound path, which the kernel keeps to sun_path's size.
constexpr size_t kSocketPathSize = sizeof(sockaddr_un::sun_path) + 1;
// A command name, which the kernel keeps to 15 bytes.
constexpr size_t kCommandSize = 64;

// The Unix sockets bound under the mount point, by inode, with their paths,
// as /proc/net/unix lists them for the sweeper's network namespace, and that
// namespace's link. A descriptor shows such a socket as "socket:[inode]" only.
struct BoundSockets {
  int count;
  unsigned long long inodes[kMaxBoundSockets];
  char paths[kMaxBoundSockets][kSocketPathSize];
  char network[kPathSize];
};

// What the holder test found: the probe that hit, in which thread, and the
// path it read there. Filling it costs no call: the probes read into it.
struct Holding {
  BusyumountHold hold;
  int descriptor;
  pid_t thread;
  char path[kPathSize];
};

// A directory read straight from the kernel into a buffer on the caller's
// stack. Unlike opendir(), it allocates nothing and makes no status call: a
// sweep lists hundreds of directories.
struct Directory {
  int fd;
  long size;    // bytes of records in the buffer
  long offset;  // of the next record
  alignas(dirent64) char records[kReadSize];
};

// Opens the directory at `path` into `directory`; returns 1, or 0 on failure.
int OpenDirectory(const char* path, Directory* directory) {
  directory->fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  directory->size = 0;
  directory->offset = 0;
  return directory->fd >= 0;
}

// Returns the name of the directory's next entry, "." and ".." included, or
// null at its end. A failed read ends it too.
const char* ReadDirectory(Directory* directory) {
  if (directory->offset >= directory->size) {
    directory->size =
        syscall(SYS_getdents64, directory->fd, directory->records, sizeof(directory->records));
    directory->offset = 0;
    if (directory->size <= 0) return nullptr;
  }
  const dirent64* record =
      reinterpret_cast<const dirent64*>(directory->records + directory->offset);
  directory->offset += record->d_reclen;
  return record->d_name;
}

void CloseDirectory(Directory* directory) {
  close(directory->fd);
}

// Returns the decimal value of a /proc entry's name, or -1 if the name is not
// all digits or its value doesn't fit a pid_t. An empty name yields 0.
int get_pid(const char* name) {
  int pid = 0;
  for (; *name != '\0'; ++name) {
    if (*name < '0' || *name > '9') return -1;
    const int digit = *name - '0';
    if (pid > (INT_MAX - digit) / 10) return -1;
    pid = pid * 10 + digit;
  }
  return pid;
}

// Returns 1 if `path` is `mount_point` or lies under it, else 0. Compares the
// strings as they are: nothing is resolved, so one directory written two ways
// doesn't match itself.
int PathMatchesMountPoint(const char* path, const char* mount_point) {
  const size_t length = strlen(mount_point);
  // "/" and "" would match everything.
  if (length < 2) return 0;
  if (strncmp(path, mount_point, length) != 0) return 0;
  if (mount_point[length - 1] == '/') return 1;
  // Without this boundary "/mnt/disk" would claim "/mnt/disk2".
  return path[length] == '\0' || path[length] == '/';
}

// Returns 1 and leaves the NUL-terminated target in `target` (kPathSize bytes)
// if `path` is a symbolic link with a non-empty target, else 0. A longer
// target is cut to kPathSize - 1 bytes. A relative `path` is taken from the
// open `directory`, which spares the kernel walking the same path each time.
// The kernel refuses whatever is not a link (EINVAL), so no status call is
// needed first.
int ReadSymLink(int directory, const char* path, char* target) {
  const ssize_t length = readlinkat(directory, path, target, kPathSize - 1);
  if (length <= 0) return 0;
  target[length] = '\0';
  return 1;
}

// Opens `path` for reading, as a stream buffered in `buffer` (kReadSize
// bytes, to outlive the stream), or returns null. A buffer of our own spares
// the stream its status call and its allocation, and reads a /proc file in
// fewer calls than the default would.
FILE* OpenStream(const char* path, char* buffer) {
  FILE* stream = fopen(path, "r");
  // Should it fail, the stream keeps a buffer of its own.
  if (stream != nullptr) (void)setvbuf(stream, buffer, _IOFBF, kReadSize);
  return stream;
}

// Writes "/proc/<pid>/<name>" into `path` (kPathSize bytes); returns 1, or 0
// if it doesn't fit. `pid` may name any thread: /proc/<tid> is listed nowhere,
// but holds what /proc/<pid>/task/<tid> does.
int ProcPath(char* path, pid_t pid, const char* name) {
  const int length = snprintf(path, kPathSize, "/proc/%d/%s", pid, name);
  return length > 0 && static_cast<size_t>(length) < kPathSize;
}

// Reads the link /proc/<pid>/<link_name> into `target` as ReadSymLink() does.
int ReadProcessLink(pid_t pid, const char* link_name, char* target) {
  char path[kPathSize];
  return ProcPath(path, pid, link_name) && ReadSymLink(AT_FDCWD, path, target);
}

// Returns 1 if the link /proc/<pid>/<link_name> exists and its target lies on
// or under `mount_point`, else 0. On a hit, `found` holds the target and `hold`.
int CheckSymLink(pid_t pid, const char* mount_point, const char* link_name, BusyumountHold hold,
                 Holding* found) {
  found->hold = hold;
  return ReadProcessLink(pid, link_name, found->path) &&
         PathMatchesMountPoint(found->path, mount_point);
}

// Returns the inode of the socket that a line of /proc/net/unix lists, with
// `*path` set to its bound path, newline cut ("" when unbound), or 0 for the
// heading. Fields: Num, RefCount, Protocol, Flags, Type, St, Inode, Path. One
// blank parts the inode from the path: more belong to a path bound relative to
// its binder's directory, such as " /mnt/disk/s".
unsigned long long ParseUnixSocketLine(char* line, const char** path) {
  line[strcspn(line, "\n")] = '\0';
  const char* field = line;
  for (int skip = 0; skip < 6; ++skip) {
    field += strcspn(field, " ");
    field += strspn(field, " ");
  }
  char* end = nullptr;
  const unsigned long long inode = strtoull(field, &end, 10);
  *path = *end == ' ' ? end + 1 : end;
  return end != field && (*end == ' ' || *end == '\0') ? inode : 0;
}

// Notes in `sockets` the sockets that `list`, read as /proc/net/unix, shows
// bound strictly under `mount_point`, the first kMaxBoundSockets of them. Only
// a path that begins with '/' is judged: an abstract name begins with '@', and
// a path bound relative to its binder's working directory says nothing of
// where it lies. A bound path may hold a newline, so that what follows it
// reads as a line of its own, naming any socket: a socket that two lines
// name is not noted, and a socket that no genuine line names belongs to
// another network namespace, which IsBoundSocket() tells. A path cut at its
// newline may read as exactly the mount point ("M\n/ctl", in a sibling), and
// no socket is bound at the mount point itself, a directory in use; one cut
// that still reads "M/..." does lie under it.
void NoteBoundSocketsInList(FILE* list, const char* mount_point, BoundSockets* sockets) {
  char line[kMapsLineSize];
  const char* path;
  const size_t length = strlen(mount_point);
  sockets->count = 0;
  while (sockets->count < kMaxBoundSockets && fgets(line, sizeof(line), list) != nullptr) {
    const unsigned long long inode = ParseUnixSocketLine(line, &path);
    if (inode != 0 && path[0] == '/' && PathMatchesMountPoint(path, mount_point) &&
        path[length] != '\0') {
      (void)snprintf(sockets->paths[sockets->count], kSocketPathSize, "%s", path);
      sockets->inodes[sockets->count++] = inode;
    }
  }
  if (sockets->count == 0) return;
  int lines[kMaxBoundSockets] = {};
  rewind(list);
  while (fgets(line, sizeof(line), list) != nullptr) {
    const unsigned long long inode = ParseUnixSocketLine(line, &path);
    for (int i = 0; i < sockets->count; ++i) lines[i] += sockets->inodes[i] == inode;
  }
  int kept = 0;
  for (int i = 0; i < sockets->count; ++i) {
    if (lines[i] != 1) continue;
    sockets->inodes[kept] = sockets->inodes[i];
    memmove(sockets->paths[kept++], sockets->paths[i], kSocketPathSize);
  }
  sockets->count = kept;
}

// Notes the sockets bound under `mount_point`, once a sweep, and the
// sweeper's network namespace when there are any.
void NoteBoundSockets(const char* mount_point, BoundSockets* sockets) {
  char buffer[kReadSize];
  sockets->count = 0;
  FILE* list = OpenStream("/proc/net/unix", buffer);
  if (list == nullptr) return;
  NoteBoundSocketsInList(list, mount_point, sockets);
  (void)fclose(list);
  // A kernel without network namespaces has the one, which everybody shares.
  if (sockets->count > 0 && !ReadSymLink(AT_FDCWD, "/proc/self/ns/net", sockets->network)) {
    sockets->network[0] = '\0';
  }
}

// Returns 1 if `found`'s path, a descriptor's link target, is
// "socket:[<inode>]" for a noted socket, and process `pid` shares the
// sweeper's network namespace, else 0; on a hit, `found` holds the bound path.
// The listing shows our namespace's sockets alone: a line that names a socket
// of another is forged, and its holders hold nothing here.
int IsBoundSocket(pid_t pid, const BoundSockets* sockets, Holding* found) {
  if (sockets->count == 0 || strncmp(found->path, "socket:[", 8) != 0) return 0;
  const unsigned long long inode = strtoull(found->path + 8, nullptr, 10);
  int noted = 0;
  while (noted < sockets->count && sockets->inodes[noted] != inode) ++noted;
  char network[kPathSize];
  if (noted == sockets->count ||
      (sockets->network[0] != '\0' &&
       (!ReadProcessLink(pid, "ns/net", network) || strcmp(network, sockets->network) != 0))) {
    return 0;
  }
  found->hold = BUSYUMOUNT_SOCKET;
  memcpy(found->path, sockets->paths[noted], kSocketPathSize);
  return 1;
}

// Returns 1 if one of the process's open descriptors lies on or under
// `mount_point` (a file or a directory) or is a socket bound there, else 0.
// Pipes, unbound sockets and the like never match. On a hit, `found` holds
// the descriptor and its target.
int CheckFileDescriptorSymLinks(pid_t pid, const char* mount_point, const BoundSockets* sockets,
                                Holding* found) {
  char path[kPathSize];
  Directory descriptors;
  if (!ProcPath(path, pid, "fd") || !OpenDirectory(path, &descriptors)) return 0;
  int hit = 0;
  // A noted socket turns it to BUSYUMOUNT_SOCKET, and ends the walk.
  found->hold = BUSYUMOUNT_DESCRIPTOR;
  while (!hit) {
    const char* name = ReadDirectory(&descriptors);
    if (name == nullptr) break;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    // A descriptor closed meanwhile is simply passed over.
    hit = ReadSymLink(descriptors.fd, name, found->path) &&
          (PathMatchesMountPoint(found->path, mount_point) || IsBoundSocket(pid, sockets, found));
    if (hit) found->descriptor = get_pid(name);
  }
  CloseDirectory(&descriptors);
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
  FILE* maps = ProcPath(path, pid, "maps") ? OpenStream(path, buffer) : nullptr;
  if (maps == nullptr) return 0;
  const int hit = CheckMapsStream(maps, mount_point, found);
  (void)fclose(maps);
  return hit;
}

int HoldsMountPoint(pid_t pid, const char* mount_point, const BoundSockets* sockets, int threads,
                    Holding* found);

// Returns 1 if a thread of process `pid`, other than its main thread, passes
// the holder test, else 0.
int OtherThreadHolds(pid_t pid, const char* mount_point, const BoundSockets* sockets,
                     Holding* found) {
  char path[kPathSize];
  Directory threads;
  if (!ProcPath(path, pid, "task") || !OpenDirectory(path, &threads)) return 0;
  int hit = 0;
  while (!hit) {
    const char* name = ReadDirectory(&threads);
    if (name == nullptr) break;
    const pid_t tid = get_pid(name);
    hit = tid > 0 && tid != pid && HoldsMountPoint(tid, mount_point, sockets, 0, found);
  }
  CloseDirectory(&threads);
  return hit;
}

// The holder test: 1 if process or thread `pid` holds anything under
// `mount_point`, else 0. The probes run in this order, and the first hit ends
// the test. With `threads`, a process whose main thread has exited is judged
// by its other threads too. On a hit, `found` says what hit.
int HoldsMountPoint(pid_t pid, const char* mount_point, const BoundSockets* sockets, int threads,
                    Holding* found) {
  found->thread = pid;
  found->descriptor = -1;
  if (CheckFileDescriptorSymLinks(pid, mount_point, sockets, found) ||
      CheckFileMaps(pid, mount_point, found)) {
    return 1;
  }
  errno = 0;
  if (CheckSymLink(pid, mount_point, "cwd", BUSYUMOUNT_CWD, found)) return 1;
  // Every live thread has a working directory. A process without one has
  // lost its main thread, and its own links show nothing of what the others
  // hold.
  const int main_thread_gone = errno == ENOENT;
  return CheckSymLink(pid, mount_point, "root", BUSYUMOUNT_ROOT, found) ||
         CheckSymLink(pid, mount_point, "exe", BUSYUMOUNT_EXE, found) ||
         (threads && main_thread_gone && OtherThreadHolds(pid, mount_point, sockets, found));
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

// Reads the command name of the process that `handle` stands for into
// `command` (kCommandSize bytes), NUL-terminated; "" if it can't be read.
void ReadCommand(int handle, char* command) {
  ssize_t length = -1;
  const int fd = openat(handle, "comm", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    length = read(fd, command, kCommandSize - 1);
    close(fd);
  }
  command[length > 0 ? length : 0] = '\0';
  command[strcspn(command, "\n")] = '\0';
}

}  // namespace

void KillProcessesWithOpenFiles(const char* mount_point, int signal_selector,
                                const pid_t* excluded_pids, int excluded_count) {
  ReportProcessesWithOpenFiles(mount_point, signal_selector != 0 ? SIGKILL : SIGTERM, excluded_pids,
                               excluded_count, nullptr, nullptr);
}

void ReportProcessesWithOpenFiles(const char* mount_point, int signal, const pid_t* excluded_pids,
                                  int excluded_count, BusyumountReport report, void* context) {
  Directory proc;
  if (!OpenDirectory("/proc", &proc)) return;
  BoundSockets sockets;
  NoteBoundSockets(mount_point, &sockets);
  Holding found;
  while (const char* name = ReadDirectory(&proc)) {
    const pid_t pid = get_pid(name);
    // Not a process. A pid of 0 or less would signal a whole process group,
    // or every process, so none may ever reach kill().
    if (pid <= 0) continue;
    // The handle, /proc/<pid> open, pins the process judged here, whatever
    // its id comes to name by the time of the signal. Without it, it is gone.
    const int handle = openat(proc.fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle < 0) continue;
    // A process that exited meanwhile, or that we may not signal, is passed
    // over; only a caller that asks is told.
    if (HoldsMountPoint(pid, mount_point, &sockets, 1, &found) &&
        !IsExcluded(pid, excluded_pids, excluded_count)) {
      // Read first: a signalled process may be gone by the time of the report.
      char command[kCommandSize] = "";
      if (report != nullptr) ReadCommand(handle, command);
      const int error = signal != 0 ? SignalProcess(handle, pid, signal) : 0;
      if (report != nullptr) {
        const BusyumountHolder holder = {pid,     found.thread, found.hold, found.descriptor,
                                         command, found.path,   signal,     error};
        report(&holder, context);
      }
    }
    close(handle);
  }
  CloseDirectory(&proc);
}
