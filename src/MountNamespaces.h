// The mount tables a sweep reads, and what the holder test asks of them: the
// sweeper's own table, and where a taken mount's parent propagates, the table
// of every other mount namespace that a process is in, each read once through
// one of its processes. The driver keeps them open between its sweeps and
// reads one again only when poll() says it changed.
#pragma once

#include <sys/types.h>

#include "Propagation.h"

namespace busyumount {

// Mount namespaces, the sweeper's own among them, whose tables one sweep reads.
constexpr int kMaxNamespaces = 2048;

// What the driver keeps from one sweep to the next besides the BusyMounts:
// the other namespaces' tables, open.
struct KeptTables {
  int count;   // open
  int budget;  // that may be open
  unsigned generation;
  int fds[kMaxNamespaces];               // by namespace, or -1
  unsigned generations[kMaxNamespaces];  // of the last sweep that met a process of it
};

// What a sweep knows of the mounts that keep the mount point busy: the taken
// mounts, the mounts in their copies' places in every namespace, and where
// each namespace shows them.
struct BusyMounts {
  const char* mount_point;
  KeptTables* kept;        // the driver's, or null: every table is read afresh
  int state;               // 0 before a sweep reads the tables, 1 after, -1 if they can't tell
  int unknown;             // namespaces whose copies are unknown: refused, or beyond the limits
  int limited;             // a fixed limit was passed this sweep
  unsigned self;           // the sweeper's namespace
  unsigned long long key;  // of the taken mounts and their parents' groups
  Taken taken;
  Paths paths;
  Copies copies;
  int namespace_count;
  unsigned inodes[kMaxNamespaces];  // as /proc/<pid>/ns/mnt names them
  unsigned char states[kMaxNamespaces];
};

// The mount in a copy's place that a holder holds, when it holds one.
struct CopyHeld {
  unsigned long long mount_namespace;  // its namespace's inode, unless the sweeper's
  int replaced;                        // it is no copy, but sits in a copy's place
};

// Makes `mounts` ready for sweeps of `mount_point`. With `kept`, the other
// namespaces' tables stay open from one sweep to the next, until
// CloseBusyMounts().
void StartBusyMounts(const char* mount_point, KeptTables* kept, BusyMounts* mounts);
// Reads what a sweep needs: the sweeper's own table and, where a taken
// mount's parent propagates, the table of every other mount namespace that a
// process is in, once, or again where it changed.
void ReadBusyMounts(BusyMounts* mounts);
void CloseBusyMounts(BusyMounts* mounts);

// Returns 1 if `path` lies on or under one of the paths, in any namespace, at
// which the taken mounts or the mounts in their copies' places are shown.
int PathOnBusyMount(const BusyMounts* mounts, const char* path);

// Returns 1 if mount `id`, on which process `pid` holds `path`, is one that
// the unmount takes, filling `held` for a mount in a copy's place; 0 if it
// isn't. Where the id (-1: unread) or the tables can't tell, the path decides
// as PathHeldInOwnNamespace() does.
int HoldsBusyMount(BusyMounts* mounts, pid_t pid, int id, const char* path, CopyHeld* held);

// Returns 1 if `path` lies where the mount namespace of process `pid` shows a
// taken mount, or a mount in a copy's place, as its table tells, filling
// `held` as HoldsBusyMount() does; if that table is unknown, 1 if `path` is
// the mount point or lies under it.
int PathHeldInOwnNamespace(BusyMounts* mounts, pid_t pid, const char* path, CopyHeld* held);

// Returns 1 if the device is that of a taken mount, or if that can't be told.
int OnBusyDevice(const BusyMounts* mounts, unsigned major, unsigned minor);

// Returns 0 if the taken mount, or the mount in a copy's place, that `path`
// lies on by its text (the longest path it lies under) is of a local file
// system; 1 if of a network one, or if that can't be told.
int OnNetworkFileSystem(const BusyMounts* mounts, const char* path);

}  // namespace busyumount
