// The kernel's rule for a busy mount, from the mount tables. umount(M) fails
// while M is held or has mounts on it, and it also takes M's copies: in every
// namespace, the mount at M's place under each mount that receives what M's
// parent P propagates (P's peers, its slaves, theirs), a copy with mounts of
// its own on it passed over unless one covers it whole. A place is a
// directory of P's file system: the parent's root joined with the mount
// point below the parent's. A bind mount elsewhere, a copy in a namespace
// that receives nothing from P, and anything under a private P are no copies.
// Peer group numbers are the same in every namespace's table.
//
// A table that can't be read leaves the path to decide, as it did before the
// tables were looked at.
#include "Propagation.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include "Matcher.h"

namespace busyumount {
namespace {

constexpr unsigned char kLink = 0xff;
constexpr unsigned char kPassedOver = 2;
// A namespace's table: not read yet, read, to be read again through the
// descriptor kept, or beyond the limits; or a slot free.
enum { kFree, kUnread, kRead, kChanged, kBeyond };

// Mounts of one table that may receive what a taken mount's parent propagates.
constexpr int kMaxReceivers = 64;
// Slots for the ids of one table's mounts: tables of up to three quarters as
// many lines are read.
constexpr int kSeenSlots = 2048;
// Kept tables that one poll() asks of.
constexpr int kPollAtOnce = 256;
// Peer groups that one group propagates to.
constexpr int kMaxGroups = 256;

// File systems whose open of a path may wait on a server that never answers.
constexpr const char* kNetworkTypes[] = {"nfs", "nfs4", "cifs", "smb3", "9p", "ceph"};

int IsNetworkType(const char* type) {
  for (const char* network : kNetworkTypes) {
    if (strcmp(type, network) == 0) return 1;
  }
  return 0;
}

// Returns 1 if `path` lies on or under the mount at `mount_point`, "/" too.
int Covers(const char* mount_point, const char* path) {
  return strcmp(mount_point, "/") == 0 ? path[0] == '/' : PathMatchesMountPoint(path, mount_point);
}

const char* String(const BusyMounts* b, unsigned offset) {
  return b->strings + offset;
}

const char* Path(const BusyMounts* b, int index) {
  return b->paths + b->path_entries[index].offset;
}

// A mount's place below its parent: the parent's root ("" for "/") joined with
// its mount point below the parent's (null if it doesn't lie there).
const char* Root(const char* root) {
  return strcmp(root, "/") == 0 ? "" : root;
}
const char* Relative(const char* mount_point, const char* parent_mount_point) {
  if (strcmp(parent_mount_point, "/") == 0) return mount_point;
  return PathMatchesMountPoint(mount_point, parent_mount_point)
             ? mount_point + strlen(parent_mount_point)
             : nullptr;
}

// Returns 1 if `a` followed by `b` reads as `c` followed by `d`.
int SameJoined(const char* a, const char* b, const char* c, const char* d) {
  const size_t la = strlen(a), lc = strlen(c);
  if (la + strlen(b) != lc + strlen(d)) return 0;
  if (la > lc) return SameJoined(c, d, a, b);
  return strncmp(a, c, la) == 0 && strncmp(b, c + la, lc - la) == 0 && strcmp(b + lc - la, d) == 0;
}

// Returns the inode of the mount namespace of `pid` (or of the caller, for
// "self"), or 0 if it can't be read.
unsigned NamespaceOf(const char* pid) {
  char link[kPathSize];
  char path[64];
  const int read =
      snprintf(path, sizeof(path), "/proc/%s/ns/mnt", pid) > 0 && ReadSymLink(AT_FDCWD, path, link);
  // "mnt:[4026531841]"
  return read ? static_cast<unsigned>(strtoul(link + strcspn(link, "[") + 1, nullptr, 10)) : 0;
}

int FindNamespace(const BusyMounts* b, unsigned inode) {
  for (int i = 0; i < b->namespace_count; ++i) {
    if (b->namespaces[i].inode == inode && b->namespaces[i].state != kFree) return i;
  }
  return -1;
}

// Adds `path` to the paths, once; returns its index, or -1 if they are full.
// A path under another needs no comparing of its own.
int AddPath(BusyMounts* b, const char* path) {
  int covered = 0;
  for (int i = 0; i < b->path_count; ++i) {
    if (strcmp(Path(b, i), path) == 0) return i;
    covered |= PathMatchesMountPoint(path, Path(b, i));
  }
  const size_t length = strlen(path);
  if (b->path_count == kMaxPaths || b->paths_used + length + 1 > sizeof(b->paths)) return -1;
  for (int i = 0; !covered && i < b->path_count; ++i) {
    b->path_entries[i].covered |= PathMatchesMountPoint(Path(b, i), path);
  }
  memcpy(b->paths + b->paths_used, path, length + 1);
  b->path_entries[b->path_count] = {static_cast<unsigned>(b->paths_used),
                                    static_cast<unsigned>(length), covered};
  b->paths_used += length + 1;
  b->prefix_count = 0;
  for (int i = 0; i <= b->path_count; ++i) {
    if (!b->path_entries[i].covered) b->prefixes[b->prefix_count++] = static_cast<unsigned char>(i);
  }
  return b->path_count++;
}

void DropCopies(BusyMounts* b, int ns, int from) {
  int kept = from;
  for (int i = from; i < b->copy_count; ++i) {
    if (b->copies[i].ns != ns) b->copies[kept++] = b->copies[i];
  }
  b->copy_count = kept;
}

void CloseKept(BusyMounts* b, int i) {
  if (b->namespaces[i].fd < 0) return;
  close(b->namespaces[i].fd);
  b->namespaces[i].fd = -1;
  --b->kept;
}

void FreeNamespace(BusyMounts* b, int i) {
  CloseKept(b, i);
  b->namespaces[i].state = kFree;
  DropCopies(b, i, 0);
}

// Forgets every namespace but the sweeper's own, and their copies.
void DropNamespaces(BusyMounts* b) {
  for (int i = 1; i < b->namespace_count; ++i) FreeNamespace(b, i);
  b->namespace_count = 1;
  b->namespaces[0] = {b->self, -1, kRead, 0};
  b->copy_count = 0;
  b->path_count = 0;
  b->paths_used = 0;
  AddPath(b, b->mount_point);
}

// Returns the index of a free slot for namespace `inode`, or -1 if none is left.
int AddNamespace(BusyMounts* b, unsigned inode) {
  int i = 1;
  while (i < b->namespace_count && b->namespaces[i].state != kFree) ++i;
  if (i == kMaxNamespaces) return -1;
  b->namespace_count += i == b->namespace_count;
  b->namespaces[i] = {inode, -1, kUnread, 0};
  return i;
}

// Adds a line of the sweeper's own table; returns 0 if they are full.
int AddOwn(BusyMounts* b, const Mount* mount) {
  const size_t root = strlen(mount->root) + 1, mount_point = strlen(mount->mount_point) + 1;
  if (b->own_count == kMaxOwnMounts || b->used + root + mount_point > sizeof(b->strings)) return 0;
  OwnMount* own = &b->own[b->own_count++];
  *own = {mount->id,
          mount->parent,
          mount->shared,
          mount->master,
          mount->major,
          mount->minor,
          IsNetworkType(mount->type),
          0,
          -1,
          static_cast<unsigned>(b->used),
          static_cast<unsigned>(b->used + root)};
  memcpy(b->strings + b->used, mount->root, root);
  memcpy(b->strings + b->used + root, mount->mount_point, mount_point);
  b->used += root + mount_point;
  return 1;
}

// Returns the index of the mount on top of those at `path` (of mounts stacked
// at one path, the one no other is on), or -1 if none is there.
int Top(const BusyMounts* b, const char* path) {
  int top = -1;
  for (int i = 0; i < b->own_count; ++i) {
    if (strcmp(String(b, b->own[i].mount_point), path) != 0) continue;
    int carries = 0;
    for (int j = 0; j < b->own_count; ++j) {
      carries |= b->own[j].on == i && strcmp(String(b, b->own[j].mount_point), path) == 0;
    }
    if (!carries) top = i;
  }
  return top;
}

// Returns `key` with `value` mixed in (FNV-1a, a value at a time).
unsigned long long Mix(unsigned long long key, int value) {
  return (key ^ static_cast<unsigned>(value)) * 1099511628211ull;
}

// Reads the sweeper's own table: the mount at the mount point (or, for a
// plain directory, the one it lies on) and those under it are taken, and the
// unmount may take copies of them where their parents propagate.
void ReadOwnTable(BusyMounts* b) {
  b->state = -1;
  b->own_count = 0;
  b->used = 0;
  b->propagates = 0;
  Table table;
  if (!OpenTable("/proc/self/mountinfo", &table)) return;
  Mount mount;
  int fits = 1;
  while (fits && ReadMount(&table, &mount)) {
    if (Covers(mount.mount_point, b->mount_point) || LiesUnder(mount.mount_point, b->mount_point)) {
      fits = AddOwn(b, &mount);
    }
  }
  close(table.fd);
  if (!fits) {
    b->limited = 1;
    return;
  }
  for (int i = 0; i < b->own_count; ++i) {
    for (int j = 0; j < b->own_count; ++j) {
      if (b->own[j].id == b->own[i].parent && j != i) b->own[i].on = j;
    }
  }
  const char* mount_point = b->mount_point;
  int top = Top(b, mount_point);
  const int at = top >= 0;
  for (int i = 0; !at && i < b->own_count; ++i) {
    const char* lies_on = String(b, b->own[i].mount_point);
    if (Covers(lies_on, mount_point) &&
        (top < 0 || strlen(lies_on) > strlen(String(b, b->own[top].mount_point)))) {
      top = i;
    }
  }
  if (top < 0) return;
  if (!at) top = Top(b, String(b, b->own[top].mount_point));
  b->own[top].taken = 1;
  for (int changed = 1; changed;) {
    changed = 0;
    for (int i = 0; i < b->own_count; ++i) {
      OwnMount& own = b->own[i];
      if (!own.taken && own.on >= 0 && b->own[own.on].taken &&
          LiesUnder(String(b, own.mount_point), mount_point)) {
        own.taken = changed = 1;
      }
    }
  }
  // A plain directory is no mount: nothing propagates its unmount.
  unsigned long long key = 14695981039346656037ull;
  for (int i = 0; at && i < b->own_count; ++i) {
    const OwnMount& own = b->own[i];
    if (!own.taken || own.on < 0) continue;
    b->propagates |= b->own[own.on].shared != 0;
    key = Mix(Mix(Mix(key, own.id), b->own[own.on].id), b->own[own.on].shared);
  }
  b->key = key;
  b->state = 1;
}

// A mount of another table that may receive what a taken mount's parent
// propagates: its file system is that parent's, and it has a peer group.
struct Receiver {
  int id, group;
  unsigned major, minor;
  unsigned root, mount_point;  // offsets in the table's text
};

struct Receivers {
  int count;
  Receiver receivers[kMaxReceivers];
  char text[4 * kPathSize];
  size_t used;
};

// Notes `mount` if it may receive, and the link between its peer groups;
// returns 0 if the receivers, copies or paths are full.
int NoteReceiver(BusyMounts* b, int ns, int first, const Mount* mount, Receivers* r) {
  if (mount->shared == 0 && mount->master == 0) return 1;
  int parent_device = 0;
  for (int i = 0; i < b->own_count; ++i) {
    const OwnMount& own = b->own[i];
    parent_device |= own.taken && own.on >= 0 && b->own[own.on].major == mount->major &&
                     b->own[own.on].minor == mount->minor;
  }
  if (!parent_device) return 1;
  for (int i = 0; i < r->count; ++i) {
    if (r->receivers[i].id == mount->id) return 1;
  }
  const size_t root = strlen(mount->root) + 1, mount_point = strlen(mount->mount_point) + 1;
  if (r->count == kMaxReceivers || r->used + root + mount_point > sizeof(r->text)) return 0;
  r->receivers[r->count++] = {mount->id,
                              mount->shared != 0 ? mount->shared : mount->master,
                              mount->major,
                              mount->minor,
                              static_cast<unsigned>(r->used),
                              static_cast<unsigned>(r->used + root)};
  memcpy(r->text + r->used, mount->root, root);
  memcpy(r->text + r->used + root, mount->mount_point, mount_point);
  r->used += root + mount_point;
  if (mount->shared == 0 || mount->master == 0) return 1;
  // A slave that is shared too passes on what it receives to its own group.
  for (int i = first; i < b->copy_count; ++i) {
    const Copy& c = b->copies[i];
    if (c.of == kLink && c.id == mount->master && c.group == mount->shared) return 1;
  }
  if (b->copy_count == kMaxCopies) return 0;
  b->copies[b->copy_count++] = {
      mount->master, mount->shared, static_cast<unsigned short>(ns), 0, kLink, 0, 0};
  return 1;
}

// Returns the index of mount `id` among the copies that the table read now
// shows (from `first` on), or -1.
int CopyIndex(const BusyMounts* b, int first, int id) {
  for (int i = first; i < b->copy_count; ++i) {
    if (b->copies[i].of != kLink && b->copies[i].id == id) return i;
  }
  return -1;
}

// Returns the index of the copy that `mount` is, noting it once, or -1 if it
// is none; sets `*fits` to 0 if the copies or paths are full.
int NoteCopy(BusyMounts* b, int ns, int first, const Mount* mount, const Receivers* r, int* fits) {
  for (int i = 0; i < r->count; ++i) {
    const Receiver& on = r->receivers[i];
    if (on.id != mount->parent) continue;
    for (int x = 0; x < b->own_count; ++x) {
      const OwnMount& own = b->own[x];
      if (!own.taken || own.on < 0 || own.id == mount->id || own.major != mount->major ||
          own.minor != mount->minor) {
        continue;
      }
      const OwnMount& parent = b->own[own.on];
      const char* below = Relative(mount->mount_point, r->text + on.mount_point);
      const char* own_below = Relative(String(b, own.mount_point), String(b, parent.mount_point));
      if (parent.major != on.major || parent.minor != on.minor || below == nullptr ||
          own_below == nullptr ||
          !SameJoined(Root(r->text + on.root), below, Root(String(b, parent.root)), own_below)) {
        continue;
      }
      const int known = CopyIndex(b, first, mount->id);
      if (known >= 0) return known;
      const int path = AddPath(b, mount->mount_point);
      if (path < 0 || b->copy_count == kMaxCopies) {
        *fits = 0;
        return -1;
      }
      b->copies[b->copy_count] = {mount->id,
                                  on.group,
                                  static_cast<unsigned short>(ns),
                                  static_cast<unsigned char>(path),
                                  static_cast<unsigned char>(x),
                                  0,
                                  0};
      return b->copy_count++;
    }
  }
  return -1;
}

// Notes `mount` as a mount of its own on a copy it is on: the one covering
// it whole, or one more that makes the unmount pass the copy over.
void NoteChild(BusyMounts* b, int first, const Mount* mount) {
  for (int i = first; i < b->copy_count; ++i) {
    Copy& c = b->copies[i];
    if (c.of == kLink || c.id != mount->parent) continue;
    c.children =
        c.children == 0 && strcmp(mount->mount_point, Path(b, c.path)) == 0 ? 1 : kPassedOver;
  }
}

// Returns 1 if a taken mount or its parent is of the device, else 0: a table's
// other lines are of no copy and of no receiver.
int OnTakenDevice(const BusyMounts* b, unsigned major, unsigned minor) {
  for (int i = 0; i < b->own_count; ++i) {
    const OwnMount& own = b->own[i];
    if (!own.taken) continue;
    if (own.major == major && own.minor == minor) return 1;
    if (own.on >= 0 && b->own[own.on].major == major && b->own[own.on].minor == minor) return 1;
  }
  return 0;
}

// Returns 1 if `id` was in `seen` (kSeenSlots ids + 1, 0 for none), adding it
// with `add`; -1 if it had to be added and the slots are full.
int Seen(unsigned* seen, int id, int add) {
  const unsigned key = static_cast<unsigned>(id) + 1;
  for (unsigned i = key * 2654435761u % kSeenSlots, probes = 0; probes < kSeenSlots / 4 * 3;
       i = (i + 1) % kSeenSlots, ++probes) {
    if (seen[i] == key) return 1;
    if (seen[i] == 0) {
      if (add) seen[i] = key;
      return 0;
    }
  }
  return add ? -1 : 0;
}

// Notes the copies of taken mounts that the table of namespace `ns` shows, and
// the links between peer groups it tells of. Its lines come parents first but
// where mounts were moved; then it is read twice more, so that every receiver
// is known before the copies, and every copy before the mounts on it.
void ScanTable(BusyMounts* b, Table* table, int ns) {
  Receivers r;
  r.count = 0;
  r.used = 0;
  unsigned seen[kSeenSlots] = {};
  Mount mount;
  const int first = b->copy_count;
  int fits = 1;
  int orphans = 0;
  for (int pass = 1, passes = 1; fits && pass <= passes; ++pass) {
    if (pass > 1) RewindTable(table->fd, table);
    for (int i = first; i < b->copy_count; ++i) b->copies[i].children = 0;
    while (fits && ReadMountStart(table, &mount)) {
      if (pass == 1) {
        orphans += Seen(seen, mount.parent, 0) == 0;
        fits = Seen(seen, mount.id, 1) >= 0;
      }
      // Most lines are of other file systems, and on none of the copies.
      if (!OnTakenDevice(b, mount.major, mount.minor) && CopyIndex(b, first, mount.parent) < 0) {
        SkipLine(table);
        continue;
      }
      if (!ReadMountRest(table, &mount)) continue;
      fits = fits && NoteReceiver(b, ns, first, &mount, &r);
      if (fits && NoteCopy(b, ns, first, &mount, &r, &fits) < 0) NoteChild(b, first, &mount);
    }
    // The namespace's root is on a mount outside its table.
    if (orphans > 1) passes = 3;
  }
  if (!fits) {
    DropCopies(b, ns, first);
    b->namespaces[ns].state = kBeyond;
  }
}

// Reads the table of namespace `ns` through process `pid`, unless `pid` is
// in a root of its own: a table shows its mount points from its reader's
// root, and only one read from the namespace's root shows them as the paths
// of its files read.
void ReadNamespace(BusyMounts* b, int ns, pid_t pid) {
  char path[kPathSize];
  Table table;
  if (!ReadProcessLink(pid, "root", path) || strcmp(path, "/") != 0 ||
      !ProcPath(path, pid, "mountinfo") || !OpenTable(path, &table)) {
    return;
  }
  b->namespaces[ns].state = kRead;
  ScanTable(b, &table, ns);
  // Kept open, it keeps the namespace and the reader's root, a namespace's
  // root, alive: neither is a mount that an unmount here would take. Those
  // beyond the descriptors the process may open are read at every sweep.
  if (b->keep && b->namespaces[ns].state == kRead && b->kept < b->budget) {
    b->namespaces[ns].fd = table.fd;
    ++b->kept;
  } else {
    close(table.fd);
  }
}

// Reads again the kept tables that poll() says changed since they were read,
// polling a few hundred at a time; those that could not be kept, or were
// beyond the limits, are read again through their first process met.
void ReadChanged(BusyMounts* b) {
  for (int i = 1; i < b->namespace_count; ++i) {
    Namespace& ns = b->namespaces[i];
    if (ns.state == kBeyond || (ns.state == kRead && ns.fd < 0)) {
      DropCopies(b, i, 0);
      ns.state = kUnread;
    }
  }
  for (int first = 0; first < b->namespace_count; first += kPollAtOnce) {
    pollfd tables[kPollAtOnce];
    const int count =
        b->namespace_count - first < kPollAtOnce ? b->namespace_count - first : kPollAtOnce;
    for (int i = 0; i < count; ++i) tables[i] = {b->namespaces[first + i].fd, POLLPRI, 0};
    if (poll(tables, static_cast<nfds_t>(count), 0) <= 0) continue;
    for (int i = 0; i < count; ++i) {
      if ((tables[i].revents & (POLLPRI | POLLERR)) != 0) b->namespaces[first + i].state = kChanged;
    }
  }
  for (int i = 0; i < b->namespace_count; ++i) {
    if (b->namespaces[i].state != kChanged) continue;
    DropCopies(b, i, 0);
    b->namespaces[i].state = kRead;
    Table table;
    RewindTable(b->namespaces[i].fd, &table);
    ScanTable(b, &table, i);
    if (b->namespaces[i].state == kBeyond) CloseKept(b, i);
  }
}

// Reads the table of each mount namespace that a process is in, once, and
// forgets those that no process is in any more.
void ReadNamespaces(BusyMounts* b) {
  Directory proc;
  if (!OpenDirectory("/proc", &proc)) {
    ++b->unknown;
    return;
  }
  ++b->generation;
  int last = 0;
  while (const char* name = ReadDirectory(&proc)) {
    const pid_t pid = get_pid(name);
    if (pid <= 0) continue;
    const unsigned inode = NamespaceOf(name);
    if (inode == 0) {
      // Kept from us: its table may well be too.
      b->unknown += errno == EACCES || errno == EPERM;
      continue;
    }
    if (inode == b->self) continue;
    if (b->namespaces[last].inode != inode || b->namespaces[last].state == kFree) {
      last = FindNamespace(b, inode);
    }
    if (last < 0 && (last = AddNamespace(b, inode)) < 0) {
      b->limited = 1;
      ++b->unknown;
      last = 0;
      continue;
    }
    b->namespaces[last].generation = b->generation;
    if (b->namespaces[last].state == kUnread) ReadNamespace(b, last, pid);
  }
  CloseDirectory(&proc);
  for (int i = 1; i < b->namespace_count; ++i) {
    const Namespace& ns = b->namespaces[i];
    if (ns.state != kFree && ns.generation != b->generation) FreeNamespace(b, i);
  }
}

// Marks each copy that receives what its taken mount's parent propagates:
// through the parent's peer group, or one that group reaches through links.
void Validate(BusyMounts* b) {
  for (int x = 0; x < b->own_count; ++x) {
    const OwnMount& own = b->own[x];
    if (!own.taken || own.on < 0 || b->own[own.on].shared == 0) continue;
    int groups[kMaxGroups] = {b->own[own.on].shared};
    int count = 1;
    for (int g = 0; g < count; ++g) {
      for (int i = 0; i < b->copy_count; ++i) {
        const Copy& link = b->copies[i];
        if (link.of != kLink || link.id != groups[g]) continue;
        int known = 0;
        for (int k = 0; k < count; ++k) known |= groups[k] == link.group;
        if (!known && count == kMaxGroups) b->limited = 1;
        if (!known && count < kMaxGroups) groups[count++] = link.group;
      }
    }
    for (int i = 0; i < b->copy_count; ++i) {
      Copy& c = b->copies[i];
      if (c.of != x) continue;
      c.valid = 0;
      for (int k = 0; k < count; ++k) c.valid |= groups[k] == c.group;
    }
  }
}

// Returns 1 if `c` is a copy that the unmount takes and looks at.
int Taken(const Copy& c) {
  return c.of != kLink && c.valid && c.children != kPassedOver;
}

}  // namespace

void StartBusyMounts(const char* mount_point, int keep, BusyMounts* mounts) {
  mounts->mount_point = mount_point;
  mounts->keep = keep;
  mounts->state = 0;
  mounts->own_count = 0;
  mounts->namespace_count = 0;
  mounts->self = 0;
  mounts->key = 0;
  mounts->generation = 0;
  mounts->kept = 0;
  // What the sweep itself opens at once: a handful.
  rlimit descriptors;
  mounts->budget =
      keep && getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur > 64
          ? static_cast<int>(descriptors.rlim_cur - 64 > kMaxNamespaces ? kMaxNamespaces
                                                                        : descriptors.rlim_cur - 64)
          : 0;
  DropNamespaces(mounts);
}

void ReadBusyMounts(BusyMounts* b) {
  const unsigned long long key = b->key;
  b->limited = 0;
  b->unknown = 0;
  ReadOwnTable(b);
  if (b->state < 0 || !b->propagates || key != b->key) DropNamespaces(b);
  if (b->state < 0 || !b->propagates) return;
  const unsigned self = NamespaceOf("self");
  if (self != b->self) {
    b->self = self;
    DropNamespaces(b);
  }
  // The sweeper's own namespace may hold copies too, at other paths.
  Table table;
  DropCopies(b, 0, 0);
  if (OpenTable("/proc/self/mountinfo", &table)) {
    ScanTable(b, &table, 0);
    close(table.fd);
  }
  if (b->keep) ReadChanged(b);
  ReadNamespaces(b);
  Validate(b);
  for (int i = 0; i < b->namespace_count; ++i) {
    b->limited |= b->namespaces[i].state == kBeyond;
    b->unknown += b->namespaces[i].state == kBeyond || b->namespaces[i].state == kUnread;
  }
}

void CloseBusyMounts(BusyMounts* mounts) {
  DropNamespaces(mounts);
}

int PathOnBusyMount(const BusyMounts* b, const char* path) {
  for (int i = 0; i < b->prefix_count; ++i) {
    const auto& prefix = b->path_entries[b->prefixes[i]];
    if (PathMatchesMountPointOfLength(path, b->paths + prefix.offset, prefix.length)) return 1;
  }
  return 0;
}

int PathHeldInOwnNamespace(BusyMounts* b, pid_t pid, const char* path, unsigned long long* ns) {
  *ns = 0;
  char name[16];
  const unsigned inode =
      b->state > 0 && b->propagates && snprintf(name, sizeof(name), "%d", pid) > 0
          ? NamespaceOf(name)
          : 0;
  const int i = inode != 0 && inode != b->self ? FindNamespace(b, inode) : -1;
  if (i < 0 || b->namespaces[i].state != kRead) return PathMatchesMountPoint(path, b->mount_point);
  for (int c = 0; c < b->copy_count; ++c) {
    const Copy& copy = b->copies[c];
    if (copy.ns == i && Taken(copy) && PathMatchesMountPoint(path, Path(b, copy.path))) {
      *ns = inode;
      return 1;
    }
  }
  return 0;
}

int HoldsBusyMount(BusyMounts* b, pid_t pid, int id, const char* path, unsigned long long* ns) {
  *ns = 0;
  if (b->state <= 0) return PathMatchesMountPoint(path, b->mount_point);
  if (id >= 0) {
    for (int i = 0; i < b->own_count; ++i) {
      if (b->own[i].taken && b->own[i].id == id) return 1;
    }
    for (int i = 0; i < b->copy_count; ++i) {
      const Copy& copy = b->copies[i];
      if (!Taken(copy) || copy.id != id) continue;
      *ns = copy.ns != 0 ? b->namespaces[copy.ns].inode : 0;
      return 1;
    }
    // Every table was read: the mount is none the unmount takes.
    if (b->unknown == 0) return 0;
  }
  return PathHeldInOwnNamespace(b, pid, path, ns);
}

int OnBusyDevice(const BusyMounts* b, unsigned major, unsigned minor) {
  if (b->state <= 0) return 1;
  for (int i = 0; i < b->own_count; ++i) {
    if (b->own[i].taken && b->own[i].major == major && b->own[i].minor == minor) return 1;
  }
  return 0;
}

int OnNetworkFileSystem(const BusyMounts* b, const char* path) {
  if (b->state <= 0) return 1;
  int on = -1;
  size_t longest = 0;
  for (int i = 0; i < b->own_count; ++i) {
    const char* mount_point = String(b, b->own[i].mount_point);
    if (b->own[i].taken && Covers(mount_point, path) && strlen(mount_point) >= longest) {
      on = i;
      longest = strlen(mount_point);
    }
  }
  for (int i = 0; i < b->copy_count; ++i) {
    const Copy& c = b->copies[i];
    if (!Taken(c)) continue;
    const char* mount_point = Path(b, c.path);
    if (Covers(mount_point, path) && strlen(mount_point) >= longest) {
      on = c.of;
      longest = strlen(mount_point);
    }
  }
  return on < 0 || b->own[on].network;
}

}  // namespace busyumount
