// Mount tables: the parser of /proc/<pid>/mountinfo, and what a sweep learns
// from the tables: which file systems are the mount point's, and whether the
// mount a process holds a file on is one of them.
#pragma once

#include <stdio.h>
#include <sys/types.h>

#include "ProcFiles.h"

namespace busyumount {

// One line of a mount table.
struct Mount {
  int id;
  unsigned major, minor;        // the file system's device
  char mount_point[kPathSize];  // unescaped
  char type[64];                // the file system's type, "" when too long
};

// Reads the next line of `table`, a mountinfo stream, into `mount`, passing
// over any that doesn't parse or fit; returns 1, or 0 at the end.
int ReadMount(FILE* table, Mount* mount);

// Copies the field that begins at `text` into `path` (kPathSize bytes),
// NUL-terminated, undoing the \ooo by which the kernel writes a blank, tab,
// newline or backslash in a path. Returns 1, or 0 if the field doesn't end in
// a blank or a newline (a piece of a longer line) or doesn't fit.
int UnescapeField(const char* text, char* path);

// The mounts whose file systems are the mount point's, as the sweeper's own
// table lists them.
constexpr int kMaxOwnMounts = 64;
// Mount ids the tables note as seen, and as the mount point's file systems.
constexpr int kMaxMountIds = 1 << 16;
// Mount namespaces whose tables one sweep reads.
constexpr int kMaxNamespaces = 256;

// What one sweep has read of the mount tables, on its stack. Each table is
// read at most once a sweep, and none until a hit needs it.
struct MountTables {
  const char* mount_point;
  int state;  // 0 before the sweeper's table is read, 1 after, -1 if it can't tell
  int count;
  struct {
    unsigned major, minor;
    int network;    // a network file system, which an open may wait on
    size_t offset;  // of its mount point in `mount_points`
  } mounts[kMaxOwnMounts];
  char mount_points[4 * kPathSize];
  size_t used;  // bytes of `mount_points`
  unsigned char seen[kMaxMountIds / 8];
  unsigned char own[kMaxMountIds / 8];  // a mount of one of the mount point's file systems
  int namespace_count;                  // -1 once there were more than kMaxNamespaces
  unsigned long long namespaces[kMaxNamespaces];
};

// Makes `tables` ready for a sweep of `mount_point`; reads and clears
// nothing until a hit needs the tables.
void StartMountTables(const char* mount_point, MountTables* tables);

// Returns 0 if the mount that `path` lies on, by its text (the longest mount
// point it lies under), is of a local file system; 1 if a network one, or if
// that can't be told.
int OnNetworkFileSystem(MountTables* tables, const char* path);

// Returns 1 if mount `id`, on which process or thread `pid` holds a file, is
// of one of the mount point's file systems, or if that can't be told; 0 if it
// isn't, or no table lists it (it is detached from every namespace). Looks in
// the holder's own table first, then in one of each other namespace's.
int MountHoldsMountPoint(MountTables* tables, pid_t pid, int id);

}  // namespace busyumount
