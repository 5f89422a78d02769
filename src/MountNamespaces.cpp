// The mount tables of the sweep: read through /proc, kept open between the
// driver's sweeps, read again when they change, and forgotten with their
// namespaces. What the tables tell is the rule's (Propagation.cpp); a table
// that can't be read leaves the path to decide, as it did before the tables
// were looked at.
#include "MountNamespaces.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include "Matcher.h"
#include "ProcFiles.h"

namespace busyumount {
namespace {

// A namespace's table: a slot free, not read yet, read, to be read again
// through the descriptor kept, or beyond the limits.
enum { kFree, kUnread, kRead, kChanged, kBeyond };

// Kept tables that one poll() asks of.
constexpr int kPollAtOnce = 256;
// Descriptors that the sweep itself may open at once: a handful.
constexpr rlim_t kOwnDescriptors = 64;

int FindNamespace(const BusyMounts* b, unsigned inode) {
  for (int i = 0; i < b->namespace_count; ++i) {
    if (b->inodes[i] == inode && b->states[i] != kFree) return i;
  }
  return -1;
}

void CloseKept(BusyMounts* b, int i) {
  if (b->kept == nullptr || b->kept->fds[i] < 0) return;
  close(b->kept->fds[i]);
  b->kept->fds[i] = -1;
  --b->kept->count;
}

void FreeNamespace(BusyMounts* b, int i) {
  CloseKept(b, i);
  b->states[i] = kFree;
  DropCopies(&b->copies, i);
}

// Forgets every namespace but the sweeper's own, and every copy.
void DropNamespaces(BusyMounts* b) {
  for (int i = 1; i < b->namespace_count; ++i) FreeNamespace(b, i);
  b->namespace_count = 1;
  b->inodes[0] = b->self;
  b->states[0] = kRead;
  b->copies.count = 0;
  b->copies.link_count = 0;
  b->paths.count = 0;
  b->paths.prefix_count = 0;
  b->paths.used = 0;
  (void)AddPath(&b->paths, b->mount_point);
}

// Returns the index of a free slot for namespace `inode`, or -1 if none is left.
int AddNamespace(BusyMounts* b, unsigned inode) {
  int i = 1;
  while (i < b->namespace_count && b->states[i] != kFree) ++i;
  if (i == kMaxNamespaces) return -1;
  b->namespace_count += i == b->namespace_count;
  b->inodes[i] = inode;
  b->states[i] = kUnread;
  if (b->kept != nullptr) b->kept->fds[i] = -1;
  return i;
}

// Returns `key` with `value` mixed in (FNV-1a, a value at a time).
unsigned long long Mix(unsigned long long key, int value) {
  return (key ^ static_cast<unsigned>(value)) * 1099511628211ull;
}

// Reads the taken mounts from the sweeper's own table, and where their
// parents propagate, the copies it shows itself, through `table`.
void ReadOwnTable(BusyMounts* b, Table* table) {
  b->state = -1;
  const int read = ReadTakenMounts(table, b->mount_point, &b->taken);
  b->limited |= read < 0;
  if (read <= 0) return;
  unsigned long long key = 14695981039346656037ull;
  for (int i = 0; i < b->taken.count; ++i) {
    const TakenMount& t = b->taken.mounts[i];
    key = Mix(Mix(Mix(key, t.id), t.parent), t.group);
  }
  b->key = key;
  b->state = 1;
}

// Reads the sweeper's own table: the taken mounts, and where their parents
// propagate, the copies it shows itself; returns 1 if the other namespaces'
// tables are needed too. A function of its own, so that its table is off
// the stack before theirs are on it.
[[gnu::noinline]] int ReadOwnNamespace(BusyMounts* b);

// Reads the copies that the table of namespace `ns` shows; one beyond the
// limits leaves its processes to be judged by their path.
void ScanTable(BusyMounts* b, Table* table, int ns) {
  DropCopies(&b->copies, ns);
  b->states[ns] = ReadCopies(table, ns, &b->taken, &b->paths, &b->copies) ? kRead : kBeyond;
}

int ReadOwnNamespace(BusyMounts* b) {
  const unsigned long long key = b->key;
  Table table;
  b->state = -1;
  if (OpenTable("/proc/self/mountinfo", &table)) ReadOwnTable(b, &table);
  const int others = b->state > 0 && b->taken.propagates;
  if (!others || key != b->key) DropNamespaces(b);
  const unsigned self = others ? NamespaceInode("self", "mnt") : b->self;
  if (self != b->self) {
    b->self = self;
    DropNamespaces(b);
  }
  // The sweeper's own namespace may hold copies too, at other paths.
  if (others) {
    RewindTable(table.fd, &table);
    ScanTable(b, &table, 0);
  }
  if (table.fd >= 0) close(table.fd);
  return others;
}

// Reads the table of namespace `ns` through process `pid`, unless `pid` is
// in a root of its own: a table shows its mount points from its reader's
// root, and only one read from the namespace's root shows them as the paths
// of its files read.
void ReadNamespace(BusyMounts* b, int ns, pid_t pid) {
  char path[kProcPathSize];
  Table table;
  if (!ReadProcessLink(pid, "root", path, sizeof(path)) || strcmp(path, "/") != 0 ||
      !ProcPath(path, pid, "mountinfo") || !OpenTable(path, &table)) {
    return;
  }
  ScanTable(b, &table, ns);
  // Kept open, it keeps the namespace and the reader's root, a namespace's
  // root, alive: neither is a mount that an unmount here would take. Those
  // beyond the descriptors the process may open are read at every sweep.
  KeptTables* kept = b->kept;
  if (kept != nullptr && b->states[ns] == kRead && kept->count < kept->budget) {
    kept->fds[ns] = table.fd;
    ++kept->count;
  } else {
    close(table.fd);
  }
}

// Reads again the kept tables that poll() says changed since they were read,
// polling a few hundred at a time; those that could not be kept, or were
// beyond the limits, are read again through their first process met.
void ReadChanged(BusyMounts* b) {
  KeptTables* kept = b->kept;
  for (int i = 1; i < b->namespace_count; ++i) {
    if (b->states[i] == kBeyond || (b->states[i] == kRead && kept->fds[i] < 0)) {
      DropCopies(&b->copies, i);
      b->states[i] = kUnread;
    }
  }
  for (int first = 1; first < b->namespace_count; first += kPollAtOnce) {
    pollfd tables[kPollAtOnce];
    const int count =
        b->namespace_count - first < kPollAtOnce ? b->namespace_count - first : kPollAtOnce;
    for (int i = 0; i < count; ++i) tables[i] = {kept->fds[first + i], POLLPRI, 0};
    if (poll(tables, static_cast<nfds_t>(count), 0) <= 0) continue;
    for (int i = 0; i < count; ++i) {
      if ((tables[i].revents & (POLLPRI | POLLERR)) != 0) b->states[first + i] = kChanged;
    }
  }
  for (int i = 1; i < b->namespace_count; ++i) {
    if (b->states[i] != kChanged) continue;
    Table table;
    RewindTable(kept->fds[i], &table);
    ScanTable(b, &table, i);
    if (b->states[i] == kBeyond) CloseKept(b, i);
  }
}

// Reads the table of each mount namespace that a process is in, once; the
// driver's kept tables also forget those that no process is in any more.
void ReadNamespaces(BusyMounts* b) {
  Directory proc;
  if (!OpenDirectory("/proc", &proc)) {
    ++b->unknown;
    return;
  }
  KeptTables* kept = b->kept;
  if (kept != nullptr) ++kept->generation;
  int last = 0;
  while (const char* name = ReadDirectory(&proc)) {
    const pid_t pid = get_pid(name);
    if (pid <= 0) continue;
    const unsigned inode = NamespaceInode(name, "mnt");
    if (inode == 0) {
      // Kept from us: its table may well be too.
      b->unknown += errno == EACCES || errno == EPERM;
      continue;
    }
    if (inode == b->self) continue;
    if (b->inodes[last] != inode || b->states[last] == kFree) last = FindNamespace(b, inode);
    if (last < 0 && (last = AddNamespace(b, inode)) < 0) {
      b->limited = 1;
      ++b->unknown;
      last = 0;
      continue;
    }
    if (kept != nullptr) kept->generations[last] = kept->generation;
    if (b->states[last] == kUnread) ReadNamespace(b, last, pid);
  }
  CloseDirectory(&proc);
  for (int i = 1; kept != nullptr && i < b->namespace_count; ++i) {
    if (b->states[i] != kFree && kept->generations[i] != kept->generation) FreeNamespace(b, i);
  }
}

// Returns the index of the namespace that process `pid` is in, if its table
// is known; -1 if not.
int KnownNamespaceOf(const BusyMounts* b, pid_t pid) {
  char name[16];
  if (b->state <= 0 || !b->taken.propagates || snprintf(name, sizeof(name), "%d", pid) <= 0) {
    return -1;
  }
  const unsigned inode = NamespaceInode(name, "mnt");
  const int i = inode == 0 ? -1 : inode == b->self ? 0 : FindNamespace(b, inode);
  return i >= 0 && b->states[i] == kRead ? i : -1;
}

void Tell(const BusyMounts* b, const Copy& copy, CopyHeld* held) {
  held->mount_namespace = copy.ns != 0 ? b->inodes[copy.ns] : 0;
  held->replaced = static_cast<int>(copy.replaced);
}

}  // namespace

void StartBusyMounts(const char* mount_point, KeptTables* kept, BusyMounts* mounts) {
  mounts->mount_point = mount_point;
  mounts->kept = kept;
  mounts->state = 0;
  mounts->namespace_count = 0;
  mounts->self = 0;
  mounts->key = 0;
  mounts->taken.count = 0;
  mounts->taken.propagates = 0;
  if (kept != nullptr) {
    kept->count = 0;
    kept->generation = 0;
    rlimit descriptors;
    const rlim_t most =
        getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur > kOwnDescriptors
            ? descriptors.rlim_cur - kOwnDescriptors
            : 0;
    kept->budget = static_cast<int>(most > kMaxNamespaces ? kMaxNamespaces : most);
  }
  DropNamespaces(mounts);
}

void ReadBusyMounts(BusyMounts* b) {
  b->limited = 0;
  b->unknown = 0;
  if (!ReadOwnNamespace(b)) return;
  if (b->kept != nullptr) ReadChanged(b);
  ReadNamespaces(b);
  b->limited |= !ResolveReceivers(&b->taken, &b->copies);
  for (int i = 0; i < b->namespace_count; ++i) {
    b->limited |= b->states[i] == kBeyond;
    b->unknown += b->states[i] == kBeyond || b->states[i] == kUnread;
  }
}

void CloseBusyMounts(BusyMounts* mounts) {
  DropNamespaces(mounts);
}

int PathOnBusyMount(const BusyMounts* b, const char* path) {
  const Paths& p = b->paths;
  for (int i = 0; i < p.prefix_count; ++i) {
    const auto& prefix = p.entries[p.prefixes[i]];
    if (PathMatchesMountPointOfLength(path, p.text + prefix.offset, prefix.length)) return 1;
  }
  return 0;
}

int PathHeldInOwnNamespace(BusyMounts* b, pid_t pid, const char* path, CopyHeld* held) {
  *held = {0, 0};
  const int ns = KnownNamespaceOf(b, pid);
  if (ns <= 0 && PathMatchesMountPoint(path, b->mount_point)) return 1;
  if (ns < 0) return 0;
  for (int i = 0; i < b->copies.count; ++i) {
    const Copy& copy = b->copies.copies[i];
    if (copy.ns == static_cast<unsigned>(ns) && Counts(copy) &&
        PathMatchesMountPoint(path, PathAt(&b->paths, static_cast<int>(copy.path)))) {
      Tell(b, copy, held);
      return 1;
    }
  }
  return 0;
}

int HoldsBusyMount(BusyMounts* b, pid_t pid, int id, const char* path, CopyHeld* held) {
  *held = {0, 0};
  if (b->state <= 0) return PathMatchesMountPoint(path, b->mount_point);
  if (id >= 0) {
    for (int i = 0; i < b->taken.count; ++i) {
      if (b->taken.mounts[i].id == id) return 1;
    }
    for (int i = 0; i < b->copies.count; ++i) {
      const Copy& copy = b->copies.copies[i];
      if (copy.id != id || !Counts(copy)) continue;
      Tell(b, copy, held);
      return 1;
    }
    // Every table was read: the mount is none the unmount takes.
    if (b->unknown == 0) return 0;
  }
  return PathHeldInOwnNamespace(b, pid, path, held);
}

int OnBusyDevice(const BusyMounts* b, unsigned major, unsigned minor) {
  if (b->state <= 0) return 1;
  for (int i = 0; i < b->taken.count; ++i) {
    if (b->taken.mounts[i].major == major && b->taken.mounts[i].minor == minor) return 1;
  }
  // A mount in a copy's place may be of any device.
  for (int i = 0; i < b->copies.count; ++i) {
    if (b->copies.copies[i].replaced && Counts(b->copies.copies[i])) return 1;
  }
  return 0;
}

int OnNetworkFileSystem(const BusyMounts* b, const char* path) {
  if (b->state <= 0) return 1;
  int network = 1;
  size_t longest = 0;
  for (int i = 0; i < b->taken.count; ++i) {
    size_t length;
    const char* mount_point = TakenMountPoint(&b->taken, i, b->mount_point, &length);
    if (length >= longest &&
        (length == 1 || PathMatchesMountPointOfLength(path, mount_point, length))) {
      network = b->taken.mounts[i].network;
      longest = length;
    }
  }
  for (int i = 0; i < b->copies.count; ++i) {
    const Copy& copy = b->copies.copies[i];
    const auto& entry = b->paths.entries[copy.path];
    if (Counts(copy) && entry.length >= longest &&
        PathMatchesMountPointOfLength(path, b->paths.text + entry.offset, entry.length)) {
      network = static_cast<int>(copy.network);
      longest = entry.length;
    }
  }
  return network;
}

}  // namespace busyumount
