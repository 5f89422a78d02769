// The mount tables a sweep reads, and what the holder test asks of them: the
// sweeper's own table, and where a taken mount's parent propagates, the table
// of every other mount namespace, each read once, through one of its
// processes, or a child that enters it. The driver keeps them open between its
// sweeps and reads one again only when poll() says it changed. What the fixed
// records can't hold is read again, streamed, for the holds that need it.
#pragma once

#include <sys/types.h>

#include "Propagation.h"

namespace busyumount {

// Mount namespaces, the sweeper's own among them, whose tables a sweep keeps
// apart; those beyond are read at every sweep.
constexpr int kMaxNamespaces = TableSize(2048, 4);

// Namespaces read beyond those kept apart whose tables left something out,
// noted by one sweep; past them, none such is taken for whole.
constexpr int kLeftOutNamespaces = 64;
// Lines of a table that an index of its mounts holds.
constexpr int kIndexed = 256;

// The mounts of one namespace's table, each by its id, the mount it is
// mounted on and its device (major << 20 | minor): for a run of holds in that
// namespace, whose mounts the records left out.
struct TableIndex {
  unsigned ns;  // 0 for none
  int count;    // -1 when the table has more lines than the index holds
  int ids[kIndexed], parents[kIndexed];
  unsigned devices[kIndexed];
};

// Mounts judged from their tables read again that one sweep remembers, by id.
constexpr int kVerdicts = 128;

// What the holder test learns of the mount a hold lies on.
struct CopyHeld {
  unsigned long long mount_namespace;  // of the mount in a copy's place, unless the sweeper's
  int replaced;                        // it is no copy, but sits in a copy's place
  int unjudged;                        // why it can't be told: kUnreadTable, kNoTableShows
};

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
  int left_out;            // what a table read this sweep left out: kCopiesLeftOut, kLinksLeftOut
  int unread;              // namespaces whose tables could not be read
  int transient;           // namespaces read beyond those kept apart
  unsigned self;           // the sweeper's namespace
  unsigned long long key;  // of the taken mounts and their parents' groups
  const unsigned* masked;  // namespaces whose copies and links are not to count, or null
  int masked_count;
  int left_out_count;  // of the namespaces read beyond those kept apart
  unsigned left_out_namespaces[kLeftOutNamespaces];
  TableIndex index;
  struct {
    int id;  // -1 for none
    int verdict;
    CopyHeld held;
  } verdicts[kVerdicts];
  Taken taken;
  Paths paths;
  Copies copies;
  int namespace_count;
  unsigned inodes[kMaxNamespaces];  // as /proc/<pid>/ns/mnt names them
  unsigned char states[kMaxNamespaces];
};

// Why a hold can't be judged: a table it needs can't be read, no table read
// shows the file's mount, or a ring's files are not placed.
enum { kJudged, kUnreadTable, kNoTableShows, kUnplacedRing };

// Makes `mounts` ready for sweeps of `mount_point`. With `kept`, the other
// namespaces' tables stay open from one sweep to the next, until
// CloseBusyMounts().
void StartBusyMounts(const char* mount_point, KeptTables* kept, BusyMounts* mounts);
// Reads what a sweep needs: the sweeper's own table and, where a taken
// mount's parent propagates, the table of every other mount namespace that a
// process is in or a mount of nsfs shows, once, or again where it changed.
void ReadBusyMounts(BusyMounts* mounts);
void CloseBusyMounts(BusyMounts* mounts);

// Reads the table of the mount namespace that `ns_fd`, an nsfs file open,
// names, as namespace `inode`, unless it is known; returns 1 if it was read.
// For a namespace no process is in, which a descriptor keeps.
int ReadHeldNamespace(BusyMounts* mounts, int ns_fd, unsigned inode);
// Returns 1 if namespace `inode` is one whose table the sweep has read.
int KnownNamespace(const BusyMounts* mounts, unsigned inode);

// Returns 1 if `path` may lie on a taken mount or a mount in a copy's place:
// it lies on or under one of the paths at which the namespaces show them, or
// it is a path and one was left out.
int PathOnBusyMount(const BusyMounts* mounts, const char* path);

// Returns 1 if mount `id`, on which process `pid` holds `path`, is one that
// the unmount takes, filling `held` for a mount in a copy's place; 0 if it
// isn't; -1 if that can't be told (`held->unjudged` says why). An id of -1
// (unread) leaves it to PathHeldInOwnNamespace().
int HoldsBusyMount(BusyMounts* mounts, pid_t pid, int id, const char* path, CopyHeld* held);

// Returns 1 if `path` lies where the mount namespace of process `pid` shows a
// taken mount, or a mount in a copy's place, as its table tells, filling
// `held` as HoldsBusyMount() does; 0 if not, -1 if that can't be told.
int PathHeldInOwnNamespace(BusyMounts* mounts, pid_t pid, const char* path, CopyHeld* held);

// Returns 1 if a namespace's table shows a mount of device major:minor that
// the unmount doesn't take: one that `path` lies under, showing there `file`
// (its path in the file system) unless that is null; or with a null `path`,
// any in another namespace than the sweeper's. `*ns` is then its namespace,
// and `where` (kPathSize bytes, unless null) its mount point there. Returns 0
// if none does, -1 if that can't be told.
int OtherMountOf(BusyMounts* mounts, unsigned major, unsigned minor, const char* path,
                 const char* file, unsigned* ns, char* where);

// Returns 1 if the device may be that of a taken mount or a mount in a copy's
// place.
int OnBusyDevice(const BusyMounts* mounts, unsigned major, unsigned minor);

// Returns 0 if the taken mount, or the mount in a copy's place, that `path`
// lies on by its text (the longest path it lies under) is of a local file
// system; 1 if of a network one, or if that can't be told.
int OnNetworkFileSystem(const BusyMounts* mounts, const char* path);

}  // namespace busyumount
