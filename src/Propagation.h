// Which mounts the unmount of the mount point must find unheld, by the
// kernel's own rule: the mount at the mount point, the mounts under it, and
// their copies that mount propagation made, in every mount namespace, at
// whatever path that namespace shows them; and which mounts it leaves alone.
#pragma once

#include <sys/types.h>

#include "MountTable.h"
#include "ProcFiles.h"

namespace busyumount {

// Mounts of the sweeper's own table on the mount point's path: those it lies
// on, those at it and those under it.
constexpr int kMaxOwnMounts = 128;
// Mount namespaces, the sweeper's own among them, whose tables one sweep reads.
constexpr int kMaxNamespaces = 2048;
// Copies and links between peer groups, over every namespace.
constexpr int kMaxCopies = 4096;
// Paths at which the namespaces show the mount point's mounts and their copies.
constexpr int kMaxPaths = 64;

// A mount of the sweeper's own table on the mount point's path.
struct OwnMount {
  int id, parent;
  int shared, master;  // its peer groups, as in Mount
  unsigned major, minor;
  int network;                 // a network file system, whose open may wait on its server
  int taken;                   // the mount point's mount, or one under it
  int on;                      // the index of the mount it is mounted on, or -1
  unsigned root, mount_point;  // offsets in `strings`
};

// A copy, in some namespace, of a taken mount, or a link between peer groups.
struct Copy {
  int id;                  // its mount id; for a link, the group it receives from
  int group;               // the group it receives through; for a link, the receiving one
  unsigned short ns;       // its namespace's index
  unsigned char path;      // the index of the path its namespace shows it at
  unsigned char of;        // the index of the taken mount it copies, or kLink
  unsigned char children;  // mounts of its own on it: 0, 1 covering it whole, or more
  unsigned char valid;     // it receives what the taken mount's parent propagates
};

struct Namespace {
  unsigned inode;  // as /proc/<pid>/ns/mnt names it
  int fd;          // its table, kept open between the driver's sweeps, or -1
  int state;
  unsigned generation;  // of the last sweep that met a process of it
};

// What a sweep knows of the mounts that keep the mount point busy. The driver
// keeps it between its sweeps, the tables of the other namespaces open, and
// reads a table again only when poll() says it changed; a stateless sweep
// starts it afresh. About 140 KiB.
struct BusyMounts {
  const char* mount_point;
  int keep;                // keep the tables open between sweeps
  int state;               // 0 before a sweep reads the tables, 1 after, -1 if they can't tell
  int propagates;          // some taken mount's parent propagates: it may have copies
  int unknown;             // namespaces whose copies are unknown: refused, or beyond the limits
  int limited;             // a fixed limit was passed this sweep
  unsigned self;           // the sweeper's namespace
  unsigned long long key;  // of the taken mounts and their parents' groups
  unsigned generation;
  int kept;    // tables kept open
  int budget;  // tables that may be kept open
  int own_count;
  OwnMount own[kMaxOwnMounts];
  char strings[4 * kPathSize];
  size_t used;
  int namespace_count;
  Namespace namespaces[kMaxNamespaces];
  int copy_count;
  Copy copies[kMaxCopies];
  int path_count;
  struct {
    unsigned offset, length;
    int covered;  // it lies under another path
  } path_entries[kMaxPaths];
  int prefix_count;
  unsigned char prefixes[kMaxPaths];  // the paths under no other
  char paths[4 * kPathSize];          // the paths one after another, each NUL-terminated,
                                      // the mount point first
  size_t paths_used;
};

// Makes `mounts` ready for sweeps of `mount_point`; with `keep`, tables stay
// open from one sweep to the next, until CloseBusyMounts().
void StartBusyMounts(const char* mount_point, int keep, BusyMounts* mounts);
// Reads what a sweep needs: the sweeper's own table and, where a taken
// mount's parent propagates, the table of every other mount namespace that a
// process is in, once, or again where it changed.
void ReadBusyMounts(BusyMounts* mounts);
void CloseBusyMounts(BusyMounts* mounts);

// Returns 1 if `path` lies on or under one of the paths, in any namespace, at
// which the mount point's mounts or their copies are shown, else 0.
int PathOnBusyMount(const BusyMounts* mounts, const char* path);

// Returns 1 if mount `id`, on which process `pid` holds `path`, is taken by
// the unmount, and sets `*ns` to the copy's namespace when that is not the
// sweeper's (else 0); 0 if it isn't. Where the id (-1: unread) or the tables
// can't tell, the path decides as PathHeldInOwnNamespace() does.
int HoldsBusyMount(BusyMounts* mounts, pid_t pid, int id, const char* path, unsigned long long* ns);

// Returns 1 if `path` lies where the mount namespace of process `pid` shows a
// taken mount, as its table tells, setting `*ns` as HoldsBusyMount() does; if
// that table is unknown, 1 if `path` is the mount point or lies under it.
int PathHeldInOwnNamespace(BusyMounts* mounts, pid_t pid, const char* path, unsigned long long* ns);

// Returns 1 if the device is that of a taken mount, or if that can't be told.
int OnBusyDevice(const BusyMounts* mounts, unsigned major, unsigned minor);

// Returns 0 if the taken mount that `path` lies on, by its text (the longest
// path it lies under), is of a local file system; 1 if a network one, or if
// that can't be told.
int OnNetworkFileSystem(const BusyMounts* mounts, const char* path);

}  // namespace busyumount
