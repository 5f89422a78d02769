// The kernel's rule for a busy mount, over the text of mount tables: which
// mounts the unmount of the mount point takes, and where each namespace
// shows them. Its input is mountinfo, its output the records below; reading
// and keeping the namespaces' tables is MountNamespaces' work.
#pragma once

#include <stddef.h>

#include "MountTable.h"

namespace busyumount {

// The mount at the mount point and the mounts under it.
constexpr int kMaxTaken = 32;
// Paths at which the namespaces show the taken mounts and the mounts in their
// copies' places, and the bytes of them all.
constexpr int kMaxPaths = 64;
constexpr size_t kPathsSize = 2 * kPathSize;
// Mounts in a copy's place, and links between peer groups, over every
// namespace.
constexpr int kMaxCopies = 2048;
constexpr int kMaxLinks = 512;

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
  int propagates;  // some taken mount's parent is shared
  TakenMount mounts[kMaxTaken];
  size_t used;
  char text[2 * kPathSize];
};

// The paths at which the namespaces show a taken mount or a mount in a copy's
// place, each once, the mount point first.
struct Paths {
  int count;
  struct {
    unsigned offset, length;
    int covered;  // it lies under another path
  } entries[kMaxPaths];
  int prefix_count;
  unsigned char prefixes[kMaxPaths];  // those under no other
  size_t used;
  char text[kPathsSize];
};

// The mount at a taken mount's place under a mount that may receive what the
// taken mount's parent propagates: the copy the unmount takes along, or
// whatever its namespace mounted in the copy's place, which it takes all the
// same.
struct Copy {
  int id;
  int group;              // the peer group its receiver receives through: 0 for a peer of
                          // the parent, else the receiver's master group
  unsigned ns : 11;       // its namespace's index
  unsigned path : 6;      // the index of the path its namespace shows it at
  unsigned taken : 5;     // the index of the taken mount whose place it is in
  unsigned children : 2;  // mounts on it: none, one covering it whole, or more
  unsigned network : 1;   // of a network file system
  unsigned replaced : 1;  // no copy: another file system or directory
  unsigned receives : 1;  // its receiver receives what the parent propagates
};

// A peer group that is a slave of another: what `master` propagates, `group`
// receives and passes on.
struct Link {
  int master, group;
  unsigned short ns;  // the namespace whose table told of it
};

struct Copies {
  int count;
  Copy copies[kMaxCopies];
  int link_count;
  Link links[kMaxLinks];
};

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
// is mounted on it, and the links between peer groups it tells of. Returns
// 1, or 0 if the limits are passed (then nothing of the table is noted).
int ReadCopies(Table* table, int ns, const Taken* taken, Paths* paths, Copies* copies);

// Forgets the copies and links of namespace `ns`.
void DropCopies(Copies* copies, int ns);

// Marks each copy whose receiver receives what its taken mount's parent
// propagates, once every table is read: through the parent's peer group, or
// one that it reaches through links. Returns 0 if a group reaches more than
// the limit, whose copies may then be passed over.
int ResolveReceivers(const Taken* taken, Copies* copies);

// Returns 1 if the unmount counts the users of `copy`: its receiver receives,
// and it has no mount of its own on it but one that covers it whole.
int Counts(const Copy& copy);

// Returns `index`'s path.
const char* PathAt(const Paths* paths, int index);

}  // namespace busyumount
