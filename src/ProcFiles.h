// Reading /proc without allocating: directories listed into a buffer on the
// caller's stack, streams with a buffer of the caller's, links, per-process
// paths and the mount id a descriptor's fdinfo tells. Shared by the sweep,
// the mount tables and the report of what keeps a mount busy with no process.
#pragma once

#include <dirent.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>

namespace busyumount {

// The size of a fixed table: `small` in a build whose tables are made small,
// to try what lies past them on a small machine.
constexpr int TableSize(int size, int small) {
#ifdef BUSYUMOUNT_SMALL_TABLES
  return small + 0 * size;
#else
  return size + 0 * small;
#endif
}

// A path or a link target; a target is read up to kPathSize - 1 bytes.
constexpr size_t kPathSize = 4096;
// What one read of a stream or of a directory's records may bring in: some
// fifty lines of a map, a hundred and more names of /proc.
constexpr size_t kReadSize = 4096;
// A path of /proc that names a process's file by a short name:
// "/proc/<pid>/<name>", "/proc/<pid>/fdinfo/<fd>", "/proc/<pid>/map_files/<range>".
constexpr size_t kProcPathSize = 64;

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
int OpenDirectory(const char* path, Directory* directory);
// Returns the name of the directory's next entry, "." and ".." included, or
// null at its end. A failed read ends it too.
const char* ReadDirectory(Directory* directory);
void CloseDirectory(Directory* directory);

// Returns the decimal value of a /proc entry's name, or -1 if the name is not
// all digits or its value doesn't fit a pid_t. An empty name yields 0.
int get_pid(const char* name);

// Returns 1 and leaves the NUL-terminated target in `target` (kPathSize bytes)
// if `path` is a symbolic link with a non-empty target, else 0. A longer
// target is cut to kPathSize - 1 bytes. A relative `path` is taken from the
// open `directory` (or AT_FDCWD).
int ReadSymLink(int directory, const char* path, char* target);

// Opens `path` for reading, as a stream buffered in `buffer` (kReadSize
// bytes, to outlive the stream), or returns null.
FILE* OpenStream(const char* path, char* buffer);

// Writes "/proc/<pid>/<name>" into `path` (kProcPathSize bytes); returns 1,
// or 0 if it doesn't fit. `pid` may name any thread: /proc/<tid> is listed nowhere,
// but holds what /proc/<pid>/task/<tid> does.
int ProcPath(char* path, pid_t pid, const char* name);

// Reads the link /proc/<pid>/<link_name> into `target` (`size` bytes),
// NUL-terminated; returns 1, or 0 if it can't be read or is empty. A
// longer target is cut to `size` - 1 bytes.
int ReadProcessLink(pid_t pid, const char* link_name, char* target, size_t size);

// Returns the inode of the namespace of `kind` ("mnt", "net") that process
// `process` (its id in decimal, or "self") is in, as /proc/<process>/ns/<kind>
// names it ("mnt:[4026531841]"); 0 if it can't be read.
unsigned NamespaceInode(const char* process, const char* kind);

// Returns the mount id that the fdinfo file at `path` tells (its "mnt_id:"
// line), or -1 if it can't be read or tells none.
int ReadMountId(const char* path);

}  // namespace busyumount
