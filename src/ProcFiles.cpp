// Reading /proc without allocating, for every module that reads it.
#include "ProcFiles.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace busyumount {

int OpenDirectory(const char* path, Directory* directory) {
  directory->fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  directory->size = 0;
  directory->offset = 0;
  return directory->fd >= 0;
}

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

// The kernel refuses whatever is not a link (EINVAL), so no status call is
// needed first; relative to an open directory, the kernel doesn't walk the
// same path each time.
int ReadSymLink(int directory, const char* path, char* target) {
  const ssize_t length = readlinkat(directory, path, target, kPathSize - 1);
  if (length <= 0) return 0;
  target[length] = '\0';
  return 1;
}

// A buffer of our own spares the stream its status call and its allocation,
// and reads a /proc file in fewer calls than the default would.
FILE* OpenStream(const char* path, char* buffer) {
  FILE* stream = fopen(path, "re");
  // Should it fail, the stream keeps a buffer of its own.
  if (stream != nullptr) (void)setvbuf(stream, buffer, _IOFBF, kReadSize);
  return stream;
}

int ProcPath(char* path, pid_t pid, const char* name) {
  const int length = snprintf(path, kProcPathSize, "/proc/%d/%s", pid, name);
  return length > 0 && static_cast<size_t>(length) < kProcPathSize;
}

int ReadProcessLink(pid_t pid, const char* link_name, char* target, size_t size) {
  char path[kProcPathSize];
  const ssize_t length = ProcPath(path, pid, link_name) ? readlink(path, target, size - 1) : -1;
  if (length <= 0) return 0;
  target[length] = '\0';
  return 1;
}

unsigned NamespaceInode(const char* process, const char* kind) {
  char path[kProcPathSize];
  char link[kProcPathSize];
  const int written = snprintf(path, sizeof(path), "/proc/%s/ns/%s", process, kind);
  const ssize_t length = written > 0 && static_cast<size_t>(written) < sizeof(path)
                             ? readlink(path, link, sizeof(link) - 1)
                             : -1;
  if (length <= 0) return 0;
  link[length] = '\0';
  return static_cast<unsigned>(strtoul(link + strcspn(link, "[") + 1, nullptr, 10));
}

// Reading fdinfo asks the file's own file system nothing. The line comes
// third, after "pos:" and "flags:".
int ReadMountId(const char* path) {
  char text[256];
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const ssize_t length = read(fd, text, sizeof(text) - 1);
  close(fd);
  if (length <= 0) return -1;
  text[length] = '\0';
  const char* line = strstr(text, "\nmnt_id:");
  if (line == nullptr) return -1;
  char* end = nullptr;
  const long id = strtol(line + 8, &end, 10);
  return end != line + 8 && *end == '\n' && id >= 0 && id <= INT_MAX ? static_cast<int>(id) : -1;
}

}  // namespace busyumount
