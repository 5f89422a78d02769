// The process killer: the sweep over /proc, the holder test's probes and the
// matcher that decides whether a path lies on or under the mount point.
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
#include <string.h>
#include <sys/syscall.h>
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

// Returns 1 if the link /proc/<pid>/<link_name> exists and its target lies on
// or under `mount_point`, else 0.
int CheckSymLink(pid_t pid, const char* mount_point, const char* link_name) {
  char path[kPathSize];
  char target[kPathSize];
  snprintf(path, sizeof(path), "/proc/%d/%s", pid, link_name);
  return ReadSymLink(AT_FDCWD, path, target) && PathMatchesMountPoint(target, mount_point);
}

// Returns 1 if one of the process's open descriptors (a file or a directory)
// lies on or under `mount_point`, else 0. Sockets, pipes and the like have
// targets that are no paths, and never match.
int CheckFileDescriptorSymLinks(pid_t pid, const char* mount_point) {
  char path[kPathSize];
  char target[kPathSize];
  Directory descriptors;
  snprintf(path, sizeof(path), "/proc/%d/fd", pid);
  if (!OpenDirectory(path, &descriptors)) return 0;
  int hit = 0;
  while (!hit) {
    const char* name = ReadDirectory(&descriptors);
    if (name == nullptr) break;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    // A descriptor closed meanwhile is simply passed over.
    hit = ReadSymLink(descriptors.fd, name, target) && PathMatchesMountPoint(target, mount_point);
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
int CheckMapsStream(FILE* maps, const char* mount_point) {
  char line[kMapsLineSize];
  int at_line_start = 1;
  int hit = 0;
  while (!hit && fgets(line, sizeof(line), maps) != nullptr) {
    const char* name = strpbrk(line, "/[");
    hit = at_line_start && name != nullptr && *name == '/' &&
          PathMatchesMountPoint(name, mount_point);
    const size_t length = strlen(line);
    at_line_start = length > 0 && line[length - 1] == '\n';
  }
  return hit;
}

// Returns 1 if the process has a file on or under `mount_point` mapped into
// its memory (a shared library, a mapped data file), else 0.
int CheckFileMaps(pid_t pid, const char* mount_point) {
  char path[kPathSize];
  snprintf(path, sizeof(path), "/proc/%d/maps", pid);
  FILE* maps = fopen(path, "r");
  if (maps == nullptr) return 0;
  // A buffer of our own spares the stream its status call and its allocation,
  // and reads a whole map in fewer calls than the default would.
  char buffer[kReadSize];
  setvbuf(maps, buffer, _IOFBF, sizeof(buffer));
  const int hit = CheckMapsStream(maps, mount_point);
  fclose(maps);
  return hit;
}

// The holder test: 1 if the process holds anything under `mount_point`. The
// probes run in this order, and the first hit ends the test.
int HoldsMountPoint(pid_t pid, const char* mount_point) {
  return CheckFileDescriptorSymLinks(pid, mount_point) || CheckFileMaps(pid, mount_point) ||
         CheckSymLink(pid, mount_point, "cwd") || CheckSymLink(pid, mount_point, "root") ||
         CheckSymLink(pid, mount_point, "exe");
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

// Returns 1 if `pid` is among the first `count` ids of `pids`, else 0.
int IsExcluded(pid_t pid, const pid_t* pids, int count) {
  for (int i = 0; i < count; ++i) {
    if (pids[i] == pid) return 1;
  }
  return 0;
}

// Sends `signal` to the process that `handle` (its /proc directory, open)
// stands for. Once the process has exited, its id may belong to another
// process, which must not get the signal: the handle refuses with ESRCH.
// Only a kernel older than the call (ENOSYS) leaves the plain kill() by id.
void SignalProcess(int handle, pid_t pid, int signal) {
  if (syscall(SYS_pidfd_send_signal, handle, signal, nullptr, 0) != 0 && errno == ENOSYS) {
    kill(pid, signal);
  }
}

}  // namespace

void KillProcessesWithOpenFiles(const char* mount_point, int signal_selector,
                                const pid_t* excluded_pids, int excluded_count) {
  Directory proc;
  if (!OpenDirectory("/proc", &proc)) return;
  const int signal = signal_selector != 0 ? SIGKILL : SIGTERM;
  while (const char* name = ReadDirectory(&proc)) {
    const pid_t pid = get_pid(name);
    // Not a process. A pid of 0 or less would signal a whole process group,
    // or every process, so none may ever reach kill().
    if (pid <= 0) continue;
    // The handle, /proc/<pid> open, pins the process judged here, whatever
    // its id comes to name by the time of the signal. Without it, it is gone.
    const int handle = openat(proc.fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle < 0) continue;
    // A process that exited meanwhile, or that we may not signal, is passed over.
    if (HoldsMountPoint(pid, mount_point) && !IsExcluded(pid, excluded_pids, excluded_count)) {
      SignalProcess(handle, pid, signal);
    }
    close(handle);
  }
  CloseDirectory(&proc);
}
