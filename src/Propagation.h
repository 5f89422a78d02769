// The kernel's rule for a busy mount, over the text of mount tables: which
// mounts the unmount of the mount point takes, and where each namespace
// shows them. Its input is mountinfo, its output the records below; reading
// and keeping the namespaces' tables is MountNamespaces' work.
#pragma once

#include <stddef.h>

#include "MountTable.h"
#include "ProcFiles.h"

namespace busyumount {

// The mount at the mount point and the mounts under it.
constexpr int kMaxTaken = 32;
// Paths at which the namespaces show the taken mounts and the mounts in their
// copies' places, and the bytes of them all.
constexpr int kMaxPaths = TableSize(64, 4);
constexpr size_t kPathsSize = 2 * kPathSize;
// Places under the receivers of one table.
constexpr int kMaxSites = TableSize(64, 4);
// Mounts in a copy's place, and links between peer groups, over every
// namespace. What doesn't fit is read again where a holder needs it.
constexpr int kMaxCopies = TableSize(1024, 8);
constexpr int kMaxLinks = TableSize(512, 4);
// A mount that the unmount takes, from the sweeper's own table.
struct TakenMount {
  int id;
  unsigned major, minor;
  int parent;                           // its parent's id
  unsigned parent_major, parent_minor;  // its parent's device, which its receivers share
  int group;                            // its parent's peer group (shared:N), or 0 if the
                                        // parent propagates nothing
  int network;                          // of a network file system
  unsigned place;                       // offset in `text`: the directory of the parent's
                                        // file system it is mounted on, "" for its root
  unsigned root;                        // offset in `text`: the directory of its own file
                                        // system that it shows
  long mount_point;                     // offset in `text`, or -1 when it is the
                                        // mount point's own text, cut to `length`
  unsigned length;                      // of its mount point
};

struct Taken {
  int count;
  int propagates;                   // some taken mount's parent is shared
  unsigned nsfs_major, nsfs_minor;  // the device of the files of namespaces, which a
                                    // mount of one keeps
  TakenMount mounts[kMaxTaken];
  size_t used;
  char text[2 * kPathSize];
};

// The paths at which the namespaces show a taken mount or a mount in a copy's
// place, each once, the mount point first.
struct Paths {
  int count;
  int left_out;  // a path didn't fit: any path may lie on a copy not noted
  struct {
    unsigned offset, length;
    int covered;  // it lies under another path
  } entries[kMaxPaths];
  int prefix_count;
  unsigned char prefixes[kMaxPaths];  // those under no other
  size_t used;
  char text[kPathsSize];
};

// What is mounted on a mount in a copy's place: nothing, one mount covering it
// whole, or more, which pass it over.
enum { kNothing, kTopper, kPassedOver };

// Whether a copy's receiver receives what the parent propagates.
enum { kReceivesNot, kReceives, kReceivesUntold };

// The mount at a taken mount's place under a mount that may receive what the
// taken mount's parent propagates: the copy the unmount takes along, or
// whatever its namespace mounted in the copy's place, which it takes all the
// same.
struct Copy {
  int id;
  int group;              // the peer group its receiver receives through: 0 for a peer of
                          // the parent, else the receiver's master group
  unsigned ns;            // its namespace, as /proc/<pid>/ns/mnt names it
  unsigned path : 6;      // the index of the path its namespace shows it at
  unsigned taken : 5;     // the index of the taken mount whose place it is in
  unsigned children : 2;  // mounts on it: none, one covering it whole, or more
  unsigned network : 1;   // of a network file system
  unsigned replaced : 1;  // no copy: another file system or directory
  unsigned receives : 2;  // kReceivesNot, kReceives, or kReceivesUntold where links were
                          // left out
};

// A peer group that is a slave of another: what `master` propagates, `group`
// receives and passes on. Every mount of a group has the group's master.
struct Link {
  int master, group;
  unsigned ns;  // the namespace whose table told of it
};

struct Copies {
  int count;
  Copy copies[kMaxCopies];
  int link_count;
  Link links[kMaxLinks];
};

// What ReadCopies() left out of a table, and whether it shows a mount of the
// file of a namespace, which keeps that namespace.
enum { kCopiesLeftOut = 1, kLinksLeftOut = 2, kNamespaceFiles = 4 };

// What one table shows of a mount: at which taken mounts' places it sits,
// under a mount that may receive what their parents propagate, and what is
// mounted on it.
struct Placed {
  unsigned places;    // bit i: at taken mount i's place
  unsigned replaced;  // bit i: no copy of taken mount i
  int shared;         // the peer group of the mount it is on, and its master group
  int master;
  int counts;  // no mount of its own on it but one that covers it whole
};

// Returns the group through which a mount placed as `placed` receives what
// taken mount `t`'s parent propagates, as a Copy's.
int PlacedGroup(const Placed& placed, const TakenMount& t);

// Reads the sweeper's own table (rewinding it once): the mount at
// `mount_point` (of mounts stacked there, the top one; for a plain
// directory, the one it lies on, whose unmount nothing propagates) and the
// mounts under it are taken, each with its parent and its place. Returns 1;
// 0 if no mount is found, -1 if the limits are passed (then `taken` says
// nothing).
int ReadTakenMounts(Table* table, const char* mount_point, Taken* taken);

// Returns the mount point of taken mount `index`, `*length` bytes of it.
const char* TakenMountPoint(const Taken* taken, int index, const char* mount_point, size_t* length);

// Adds `path` to the paths, once; returns its index, or -1 if they are full.
int AddPath(Paths* paths, const char* path);

// Notes in `copies` what the table of namespace `ns` (the sweeper's own too)
// shows in the place of a taken mount under each of its receivers, with what
// is mounted on it, and the links between peer groups it tells of, and the
// paths in `paths`. Returns what didn't fit: kCopiesLeftOut (then no copy of
// the table is noted), kLinksLeftOut; and kNamespaceFiles if it shows a mount
// of nsfs; or 0.
int ReadCopies(Table* table, unsigned ns, const Taken* taken, Paths* paths, Copies* copies);

// Forgets the copies and links of namespace `ns`.
void DropCopies(Copies* copies, unsigned ns);

// Marks each copy whose receiver receives what its taken mount's parent
// propagates, once every table is read: through the parent's peer group, or
// one that it reaches through the links noted; kReceivesUntold where those
// can't tell, with `links_left_out`.
void ResolveReceivers(const Taken* taken, Copies* copies, int links_left_out);

// Returns kReceives if peer group `group` receives what `origin` propagates
// through the links noted, kReceivesNot if not, and kReceivesUntold if a group
// on the way has no link noted and links were left out; `*last` is then that
// group. The links told by the `masked_count` namespaces of `masked` don't count.
int Reaches(const Copies* copies, int group, int origin, int links_left_out, int* last,
            const unsigned* masked = nullptr, int masked_count = 0);

// Returns 1 if the unmount counts the users of `copy`, its receiver known to
// receive: it has no mount of its own on it but one that covers it whole.
int Counts(const Copy& copy);

// Returns 1 if a taken mount's parent, which propagates, is of the device:
// only a mount of it may receive what the parent propagates.
int OnParentDevice(const Taken* taken, unsigned major, unsigned minor);

// Returns `index`'s path.
const char* PathAt(const Paths* paths, int index);

// Reads the table whole again for one mount, `id`: returns 1 and fills
// `placed` if the table shows it, 0 if not.
int PlaceMount(Table* table, int id, const Taken* taken, Placed* placed);

// Returns the id of the mount that `path` lies on as the table shows it (of
// mounts stacked at the longest mount point it lies under, the bottom one,
// which a copy's place holds), or -1.
int MountAtPath(Table* table, const char* path);

// Reads the table whole again for a mount of peer group `group`, a group of
// the device of a taken mount's parent: returns 1, with `*master` its master
// group (0 for none), or 0 if the table shows none.
int FindMaster(Table* table, const Taken* taken, int group, int* master);

}  // namespace busyumount
