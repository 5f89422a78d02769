// The floor the tool's sweeps are set against: six passes over /proc that read
// only what a sweep must (each descriptor's link, cwd, root and exe, and the
// whole memory map 64 KiB at a time) and judge nothing.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

constexpr int kPasses = 6;  // the tool's sweeps on a mount that stays busy

// Reads every link of directory `name` under `dir`; returns how many.
int ReadLinks(int dir, const char* name) {
  const int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* links = fd < 0 ? nullptr : fdopendir(fd);
  if (links == nullptr) {
    if (fd >= 0) close(fd);
    return 0;
  }
  char target[4096];
  int count = 0;
  while (const dirent* entry = readdir(links)) {
    if (entry->d_name[0] != '.') count += readlinkat(fd, entry->d_name, target, sizeof(target)) > 0;
  }
  closedir(links);
  return count;
}

// Reads process `pid`'s descriptors, cwd, root, exe and map; returns the links read.
int ReadProcess(int proc, const char* pid) {
  const int dir = openat(proc, pid, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return 0;
  char target[4096];
  int count = ReadLinks(dir, "fd");
  static const char* const kLinks[] = {"cwd", "root", "exe"};
  for (const char* link : kLinks) count += readlinkat(dir, link, target, sizeof(target)) > 0;
  const int maps = openat(dir, "maps", O_RDONLY | O_CLOEXEC);
  if (maps >= 0) {
    static char buffer[64 * 1024];
    while (read(maps, buffer, sizeof(buffer)) > 0) {
    }
    close(maps);
  }
  close(dir);
  return count;
}

}  // namespace

int main() {
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return 1;
  long links = 0;
  for (int pass = 0; pass < kPasses; ++pass, rewinddir(processes)) {
    while (const dirent* entry = readdir(processes)) {
      if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') {
        links += ReadProcess(dirfd(processes), entry->d_name);
      }
    }
  }
  closedir(processes);
  return links > 0 ? 0 : 1;
}
