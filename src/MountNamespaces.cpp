// The mount tables of the sweep: read through /proc, or through a child that
// enters a namespace, kept open between the driver's sweeps, read again when
// they change, and forgotten with their namespaces; and the holder test's
// questions, answered from the records, or from the tables read again where
// the records left something out. What the tables tell is the rule's
// (Propagation.cpp). Nothing is judged by a path's text where no table tells.
#include "MountNamespaces.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Matcher.h"
#include "ProcFiles.h"

namespace busyumount {
namespace {

// A namespace's table: a slot free, not read yet, read whole, to be read again
// through the descriptor kept, or read with something left out, which is read
// again at every sweep. kVisited marks a table read again for one question.
enum { kFree, kUnread, kRead, kChanged, kLeftOut, kVisited = 0x80 };

// Kept tables that one poll() asks of.
constexpr int kPollAtOnce = 256;
// Descriptors that the sweep itself may open at once: a handful.
constexpr rlim_t kOwnDescriptors = 64;
// What a reading of the tables returns when none shows what it looks for.
constexpr int kAbsent = -2;

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
  DropCopies(&b->copies, b->inodes[i]);
}

// Forgets every namespace but the sweeper's own, and every copy.
void DropNamespaces(BusyMounts* b) {
  for (int i = 1; i < b->namespace_count; ++i) CloseKept(b, i);
  b->namespace_count = 1;
  b->inodes[0] = b->self;
  b->states[0] = kRead;
  b->copies.count = 0;
  b->copies.link_count = 0;
  b->transient = 0;
  b->paths.count = 0;
  b->paths.prefix_count = 0;
  b->paths.used = 0;
  (void)AddPath(&b->paths, b->mount_point);
}

// Returns the index of a free slot for namespace `inode`, or -1 if none is
// left. The driver's keeps it for this sweep.
int AddNamespace(BusyMounts* b, unsigned inode) {
  int i = 1;
  while (i < b->namespace_count && b->states[i] != kFree) ++i;
  if (i == kMaxNamespaces) return -1;
  b->namespace_count += i == b->namespace_count;
  b->inodes[i] = inode;
  b->states[i] = kUnread;
  if (b->kept != nullptr) {
    b->kept->fds[i] = -1;
    b->kept->generations[i] = b->kept->generation;
  }
  return i;
}

// Forgets the records of the namespaces read beyond those kept apart.
void DropTransient(BusyMounts* b) {
  for (int i = 0; i < b->copies.count; ++i) {
    const unsigned ns = b->copies.copies[i].ns;
    if (FindNamespace(b, ns) < 0) DropCopies(&b->copies, ns), i = -1;
  }
  for (int i = 0; i < b->copies.link_count; ++i) {
    const unsigned ns = b->copies.links[i].ns;
    if (FindNamespace(b, ns) < 0) DropCopies(&b->copies, ns), i = -1;
  }
  b->transient = 0;
}

// Returns `key` with `value` mixed in (FNV-1a, a value at a time).
unsigned long long Mix(unsigned long long key, int value) {
  return (key ^ static_cast<unsigned>(value)) * 1099511628211ull;
}

// Reads the taken mounts from the sweeper's own table, and where their
// parents propagate, the copies it shows itself, through `table`.
void ReadOwnTable(BusyMounts* b, Table* table) {
  b->state = -1;
  if (ReadTakenMounts(table, b->mount_point, &b->taken) <= 0) return;
  unsigned long long key = 14695981039346656037ull;
  for (int i = 0; i < b->taken.count; ++i) {
    const TakenMount& t = b->taken.mounts[i];
    key = Mix(Mix(Mix(key, t.id), t.parent), t.group);
  }
  b->key = key;
  b->state = 1;
}

// Notes what `table` shows as namespace `ns`; returns what it left out, and
// kNamespaceFiles.
int ScanTable(BusyMounts* b, Table* table, unsigned ns) {
  DropCopies(&b->copies, ns);
  const int left_out = ReadCopies(table, ns, &b->taken, &b->paths, &b->copies);
  b->left_out |= left_out & ~kNamespaceFiles;
  // The copies left out may be shown at paths that none noted.
  b->paths.left_out |= (left_out & kCopiesLeftOut) != 0;
  return left_out;
}

// Reads the namespaces kept by the mounts of their nsfs files that `table`
// shows, read through process `pid` (0: the sweeper) from its namespace's
// root, which no process may be in. A file is opened through that root.
void ReadBoundNamespaces(BusyMounts* b, Table* table, pid_t pid) {
  Mount mount;
  char path[kPathSize];
  if (pid > 0 && (!ReadProcessLink(pid, "root", path, sizeof(path)) || strcmp(path, "/") != 0)) {
    return;
  }
  RewindTable(table->fd, table);
  while (ReadMountStart(table, &mount)) {
    if (mount.major != b->taken.nsfs_major || mount.minor != b->taken.nsfs_minor ||
        !ReadMountRest(table, &mount)) {
      SkipLine(table);
      continue;
    }
    const unsigned inode = static_cast<unsigned>(strtoul(mount.root + 5, nullptr, 10));
    if (strncmp(mount.root, "mnt:[", 5) != 0 || KnownNamespace(b, inode)) continue;
    const int length = pid > 0
                           ? snprintf(path, sizeof(path), "/proc/%d/root%s", pid, mount.mount_point)
                           : snprintf(path, sizeof(path), "%s", mount.mount_point);
    const int ns = length > 0 && static_cast<size_t>(length) < sizeof(path)
                       ? open(path, O_RDONLY | O_CLOEXEC)
                       : -1;
    if (ns < 0) continue;
    (void)ReadHeldNamespace(b, ns, inode);
    close(ns);
  }
}

// Reads the sweeper's own table: the taken mounts, and where their parents
// propagate, the copies it shows itself; returns 1 if the other namespaces'
// tables are needed too. A function of its own, so that its table is off
// the stack before theirs are on it.
[[gnu::noinline]] int ReadOwnNamespace(BusyMounts* b) {
  const unsigned long long key = b->key;
  Table table;
  b->state = -1;
  if (OpenTable("/proc/self/mountinfo", &table)) ReadOwnTable(b, &table);
  const int others = b->state > 0 && b->taken.propagates;
  if (!others || key != b->key) DropNamespaces(b);
  const unsigned self = NamespaceInode("self", "mnt");
  if (self != b->self) {
    b->self = self;
    DropNamespaces(b);
  }
  // The sweeper's own namespace may hold copies too, at other paths.
  if (others) {
    struct stat files;
    if (stat("/proc/self/ns/mnt", &files) == 0) {
      b->taken.nsfs_major = major(files.st_dev);
      b->taken.nsfs_minor = minor(files.st_dev);
    }
    RewindTable(table.fd, &table);
    const int told = ScanTable(b, &table, b->self);
    b->states[0] = (told & ~kNamespaceFiles) == 0 ? kRead : kLeftOut;
    if (told & kNamespaceFiles) ReadBoundNamespaces(b, &table, 0);
  }
  if (table.fd >= 0) close(table.fd);
  return others;
}

// Opens the table of the namespace that `ns_fd` names, as a process there
// sees it from the namespace's root: a child enters the namespace and waits
// while its table is opened, which keeps what it needs. Returns 1, or 0 if
// the child can't enter it (without root).
int OpenTableInside(int ns_fd, Table* table) {
  int entered[2], done[2];
  if (pipe2(entered, O_CLOEXEC) != 0) return 0;
  if (pipe2(done, O_CLOEXEC) != 0) {
    close(entered[0]);
    close(entered[1]);
    return 0;
  }
  char byte = 0;
  const pid_t child = fork();
  if (child == 0) {
    close(entered[0]);
    close(done[1]);
    byte = setns(ns_fd, CLONE_NEWNS) == 0 ? 'y' : 'n';
    if (write(entered[1], &byte, 1) == 1) (void)!read(done[0], &byte, 1);
    _exit(0);
  }
  close(entered[1]);
  close(done[0]);
  char path[kProcPathSize];
  const int opened = child > 0 && read(entered[0], &byte, 1) == 1 && byte == 'y' &&
                     ProcPath(path, child, "mountinfo") && OpenTable(path, table);
  close(entered[0]);
  close(done[1]);
  if (child > 0) (void)waitpid(child, nullptr, 0);
  return opened;
}

// Opens the table of the namespace that process `pid` is in, from that
// namespace's root: the process's own, unless it is in a root of its own,
// whose table shows only what lies under it.
int OpenTableOf(pid_t pid, Table* table) {
  char path[kProcPathSize];
  char root[kProcPathSize];
  if (ReadProcessLink(pid, "root", root, sizeof(root)) && strcmp(root, "/") == 0) {
    return ProcPath(path, pid, "mountinfo") && OpenTable(path, table);
  }
  const int ns = ProcPath(path, pid, "ns/mnt") ? open(path, O_RDONLY | O_CLOEXEC) : -1;
  const int opened = ns >= 0 && OpenTableInside(ns, table);
  if (ns >= 0) close(ns);
  return opened;
}

// Takes slot `i` for read, with what ScanTable() told of its table, open in
// `table`, keeping that open where the driver may.
void KeepSlot(BusyMounts* b, int i, Table* table, int told) {
  b->states[i] = (told & ~kNamespaceFiles) == 0 ? kRead : kLeftOut;
  // Kept open, it keeps the namespace and the reader's root, a namespace's
  // root, alive: neither is a mount that an unmount here would take. Those
  // beyond the descriptors the process may open are read at every sweep.
  KeptTables* kept = b->kept;
  if (kept != nullptr && b->states[i] == kRead && kept->count < kept->budget) {
    kept->fds[i] = table->fd;
    ++kept->count;
  } else {
    close(table->fd);
  }
}

// Notes that the table of namespace `inode`, beyond those kept apart, was
// read, and what ScanTable() told of it.
void NoteTransient(BusyMounts* b, unsigned inode, int told) {
  ++b->transient;
  if ((told & ~kNamespaceFiles) == 0) return;
  if (b->left_out_count < kLeftOutNamespaces) b->left_out_namespaces[b->left_out_count] = inode;
  ++b->left_out_count;
}

// Reads the table of namespace `inode`, that of process `pid`: into slot `i`,
// or beyond those kept apart for -1.
void ReadNamespace(BusyMounts* b, int i, pid_t pid, unsigned inode) {
  Table table;
  if (!OpenTableOf(pid, &table)) {
    b->unread += i < 0;
    return;
  }
  const int told = ScanTable(b, &table, inode);
  if (told & kNamespaceFiles) ReadBoundNamespaces(b, &table, pid);
  if (i >= 0) {
    KeepSlot(b, i, &table, told);
    return;
  }
  NoteTransient(b, inode, told);
  close(table.fd);
}

// Reads again the kept tables that poll() says changed since they were read,
// polling a few hundred at a time; those that could not be kept, or left
// something out, are read again through their first process met.
void ReadChanged(BusyMounts* b) {
  KeptTables* kept = b->kept;
  for (int i = 1; i < b->namespace_count; ++i) {
    if (b->states[i] == kLeftOut || (b->states[i] == kRead && kept->fds[i] < 0)) {
      DropCopies(&b->copies, b->inodes[i]);
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
    const int told = ScanTable(b, &table, b->inodes[i]);
    b->states[i] = told == 0 ? kRead : kUnread;
    // Read again through a process of it: a mount of a namespace's file is
    // opened through one.
    if (told != 0) CloseKept(b, i);
  }
}

// Reads the table of each mount namespace that a process is in, once; the
// driver's kept tables also forget those that no process is in any more.
// Beyond the namespaces kept apart, a table is read for each run of
// processes of one namespace.
void ReadNamespaces(BusyMounts* b) {
  Directory proc;
  if (!OpenDirectory("/proc", &proc)) {
    ++b->unread;
    return;
  }
  KeptTables* kept = b->kept;
  int last = 0;
  unsigned beyond = 0;
  while (const char* name = ReadDirectory(&proc)) {
    const pid_t pid = get_pid(name);
    if (pid <= 0) continue;
    const unsigned inode = NamespaceInode(name, "mnt");
    if (inode == 0) {
      // Kept from us: its table may well be too.
      b->unread += errno == EACCES || errno == EPERM;
      continue;
    }
    if (inode == b->self) continue;
    if (b->inodes[last] != inode || b->states[last] == kFree) last = FindNamespace(b, inode);
    if (last < 0 && (last = AddNamespace(b, inode)) < 0) {
      if (inode != beyond) ReadNamespace(b, -1, pid, inode);
      beyond = inode;
      last = 0;
      continue;
    }
    if (kept != nullptr) kept->generations[last] = kept->generation;
    if (b->states[last] == kUnread) ReadNamespace(b, last, pid, inode);
  }
  CloseDirectory(&proc);
  for (int i = 1; i < b->namespace_count; ++i) {
    if (kept != nullptr && b->states[i] != kFree && kept->generations[i] != kept->generation) {
      FreeNamespace(b, i);
    }
    b->unread += b->states[i] == kUnread;
  }
}

// Returns 1 if links the records lack may tell which groups receive.
int LinksUntold(const BusyMounts* b) {
  return (b->left_out & kLinksLeftOut) != 0 || b->unread > 0;
}

// Returns 1 if every mount in a copy's place is in the records: an id they
// don't show is none.
int Whole(const BusyMounts* b) {
  return !b->taken.propagates || ((b->left_out & kCopiesLeftOut) == 0 && b->unread == 0);
}

// Returns 1 if namespace `ns` is one whose records are masked.
int Masked(const BusyMounts* b, unsigned ns) {
  for (int i = 0; i < b->masked_count; ++i) {
    if (b->masked[i] == ns) return 1;
  }
  return 0;
}

// Returns 1 if the records hold every mount in a copy's place that namespace
// `ns`'s table shows: its table was read whole this sweep.
int NamespaceWhole(const BusyMounts* b, unsigned ns) {
  const int i = FindNamespace(b, ns);
  if (Masked(b, ns)) return 0;
  if (i >= 0) return b->states[i] == kRead;
  // One read beyond those kept apart, unless it could not be.
  if (b->unread > 0 || b->left_out_count > kLeftOutNamespaces) return 0;
  for (int k = 0; k < b->left_out_count; ++k) {
    if (b->left_out_namespaces[k] == ns) return 0;
  }
  return 1;
}

// Opens namespace `ns`'s table into `table`, that of process `pid` (or -1,
// when the table kept must do): the kept one, or else one opened afresh,
// which `*opened` says to close. Returns 1, or 0 if it can't be read.
int OpenNamespaceTable(BusyMounts* b, pid_t pid, unsigned ns, Table* table, int* opened) {
  const int i = FindNamespace(b, ns);
  *opened = 0;
  if (i > 0 && b->kept != nullptr && b->kept->fds[i] >= 0) {
    RewindTable(b->kept->fds[i], table);
    return 1;
  }
  *opened = 1;
  if (ns == b->self) return OpenTable("/proc/self/mountinfo", table);
  return pid > 0 && OpenTableOf(pid, table);
}

// What a reading of every table looks for: a mount's place, or a group's
// master.
struct Finding {
  int id;  // the mount, or the group
  unsigned ns;
  Placed placed;
  int master;
  unsigned major, minor;  // for a mount of a device
  const char* path;       // that lies under its mount point, or any
  const char* file;       // the path's file in the device's file system, or null
                          // if it may be any that shows there
  char* where;            // kPathSize bytes for the mount point found, or null
};

// Each returns 1 if `table`, namespace `ns`'s, shows what `finding` looks for,
// and fills it; else kAbsent. A masked namespace shows nothing.
int FindPlace(BusyMounts* b, Table* table, unsigned ns, Finding* finding) {
  finding->ns = ns;
  return !Masked(b, ns) && PlaceMount(table, finding->id, &b->taken, &finding->placed) ? 1
                                                                                       : kAbsent;
}
int FindGroup(BusyMounts* b, Table* table, unsigned ns, Finding* finding) {
  return !Masked(b, ns) && FindMaster(table, &b->taken, finding->id, &finding->master) ? 1
                                                                                       : kAbsent;
}

// Returns 1 if directory `root` of a file system, joined with `rest` ("", or
// from a '/'), is `path`.
int JoinsTo(const char* root, const char* rest, const char* path) {
  if (strcmp(root, "/") == 0) return strcmp(path, *rest != '\0' ? rest : "/") == 0;
  const size_t length = strlen(root);
  return strncmp(path, root, length) == 0 && strcmp(path + length, rest) == 0;
}

// A mount of the device that the unmount doesn't take, which the path lies
// under, showing the file there if it is told; or any in another namespace
// for no path.
int FindOtherMount(BusyMounts* b, Table* table, unsigned ns, Finding* finding) {
  Mount mount;
  if (finding->path == nullptr && ns == b->self) return kAbsent;
  RewindTable(table->fd, table);
  while (ReadMountStart(table, &mount)) {
    if (mount.major != finding->major || mount.minor != finding->minor ||
        !ReadMountRest(table, &mount)) {
      SkipLine(table);
      continue;
    }
    int taken = 0;
    for (int i = 0; i < b->taken.count; ++i) taken |= b->taken.mounts[i].id == mount.id;
    for (int i = 0; i < b->copies.count; ++i) {
      taken |= b->copies.copies[i].id == mount.id && Counts(b->copies.copies[i]);
    }
    const int at_root = strcmp(mount.mount_point, "/") == 0;
    const char* rest = finding->path == nullptr ? nullptr
                       : at_root                ? finding->path
                       : PathMatchesMountPoint(finding->path, mount.mount_point)
                           ? finding->path + strlen(mount.mount_point)
                           : nullptr;
    if (!taken && (finding->path == nullptr ||
                   (rest != nullptr &&
                    (finding->file == nullptr || JoinsTo(mount.root, rest, finding->file))))) {
      finding->ns = ns;
      if (finding->where != nullptr) memcpy(finding->where, mount.mount_point, kPathSize);
      return 1;
    }
  }
  return kAbsent;
}

// FindPlace() in the table of namespace `ns`, that of process `pid`.
[[gnu::noinline]] int FindPlaceOf(BusyMounts* b, pid_t pid, unsigned ns, Finding* finding) {
  Table table;
  int opened;
  if (!OpenNamespaceTable(b, pid, ns, &table, &opened)) return kAbsent;
  const int found = FindPlace(b, &table, ns, finding);
  if (opened) close(table.fd);
  return found;
}

// Reads each namespace's table again, the sweeper's own first, until `find`
// finds what `finding` looks for in one; returns 1 then, or kAbsent. Each
// namespace kept apart is read once; one beyond them, for each run of its
// processes. Sets `*unread` if some table could not be read.
int EachTable(BusyMounts* b, int (*find)(BusyMounts*, Table*, unsigned, Finding*), Finding* finding,
              int* unread) {
  int found = kAbsent, opened;
  Table table;
  Directory proc;
  if (OpenNamespaceTable(b, -1, b->self, &table, &opened)) {
    found = find(b, &table, b->self, finding);
    close(table.fd);
  }
  if (found != kAbsent || !OpenDirectory("/proc", &proc)) return found;
  b->states[0] |= kVisited;
  unsigned beyond = 0;
  while (found == kAbsent) {
    const char* name = ReadDirectory(&proc);
    if (name == nullptr) break;
    const pid_t pid = get_pid(name);
    const unsigned ns = pid > 0 ? NamespaceInode(name, "mnt") : 0;
    const int i = ns != 0 ? FindNamespace(b, ns) : -1;
    if (ns == 0 || ns == beyond || (i >= 0 && (b->states[i] & kVisited) != 0)) continue;
    if (i >= 0) b->states[i] |= kVisited;
    beyond = i < 0 ? ns : 0;
    if (!OpenNamespaceTable(b, pid, ns, &table, &opened)) {
      *unread = 1;
      continue;
    }
    found = find(b, &table, ns, finding);
    if (opened) close(table.fd);
  }
  CloseDirectory(&proc);
  // Namespaces no process is in, which descriptors keep.
  for (int i = 1; found == kAbsent && i < b->namespace_count; ++i) {
    if (b->states[i] == kFree || (b->states[i] & kVisited) != 0) continue;
    if (!OpenNamespaceTable(b, -1, b->inodes[i], &table, &opened)) {
      *unread = 1;
      continue;
    }
    found = find(b, &table, b->inodes[i], finding);
    if (opened) close(table.fd);
  }
  for (int i = 0; i < b->namespace_count; ++i) b->states[i] &= ~kVisited;
  return found;
}

// Returns kReceives if a receiver of master group `group` receives what the
// parent of taken mount `taken` propagates, kReceivesNot if not, -1 if that
// can't be told. Where the records lack a group's link, the tables are read
// again for a mount of it, which tells its master.
int ReceivesThrough(BusyMounts* b, int group, int taken) {
  const int origin = b->taken.mounts[taken].group;
  for (int steps = 0; group != 0 && steps <= b->copies.count + b->copies.link_count; ++steps) {
    Finding finding = {group, 0, {}, 0, 0, 0, nullptr, nullptr, nullptr};
    int unread = 0;
    const int told =
        Reaches(&b->copies, group, origin, LinksUntold(b), &finding.id, b->masked, b->masked_count);
    if (told != kReceivesUntold) return told;
    if (EachTable(b, FindGroup, &finding, &unread) == kAbsent) {
      return unread || b->unread > 0 ? -1 : kReceivesNot;
    }
    group = finding.master;
  }
  return kReceivesNot;
}

// Returns what a hold on a mount in a copy's place comes to: 1 if its users
// keep the mount busy, filling `held`; 0 if not; -1 if that can't be told.
int CopyCounts(BusyMounts* b, unsigned ns, int children, int group, int taken, int replaced,
               int receives, CopyHeld* held) {
  if (children == kPassedOver) return 0;
  if (receives == kReceivesUntold || b->masked_count > 0) {
    receives = group == 0 ? kReceives : ReceivesThrough(b, group, taken);
  }
  if (receives < 0) held->unjudged = kUnreadTable;
  if (receives != kReceives) return receives < 0 ? -1 : 0;
  held->mount_namespace = ns != b->self ? ns : 0;
  held->replaced = replaced;
  return 1;
}

// Returns what the holds on mounts in copies' places come to, each as
// CopyCounts() tells: 1 if one counts, else -1 if one can't be told, else 0.
int Either(int verdict, int other) {
  return verdict == 1 || other == 1 ? 1 : verdict < 0 || other < 0 ? -1 : 0;
}

// Returns what a mount that a table placed comes to, for any taken mount at
// whose place it is; 0 for one in no copy's place.
int PlacedCounts(BusyMounts* b, const Finding& finding, CopyHeld* held) {
  const Placed& placed = finding.placed;
  int verdict = 0;
  for (int i = 0; verdict != 1 && i < b->taken.count; ++i) {
    if ((placed.places >> i & 1) == 0) continue;
    verdict = Either(verdict,
                     CopyCounts(b, finding.ns, placed.counts ? kNothing : kPassedOver,
                                PlacedGroup(placed, b->taken.mounts[i]), i,
                                static_cast<int>(placed.replaced >> i & 1), kReceivesUntold, held));
  }
  return verdict;
}

// Fills the index with the table of namespace `ns`, that of process `pid`,
// unless it holds that one already; returns 1, or 0 if it can't be read.
// Like each reading of a table for one hold, a function of its own, so that
// its buffers are off the stack before the next reading's are on it.
[[gnu::noinline]] int Index(BusyMounts* b, pid_t pid, unsigned ns) {
  TableIndex& index = b->index;
  Table table;
  Mount mount;
  int opened;
  if (index.ns == ns) return 1;
  if (!OpenNamespaceTable(b, pid, ns, &table, &opened)) return 0;
  index.ns = ns;
  index.count = 0;
  while (ReadMountStart(&table, &mount)) {
    const int i = index.count;
    if (i >= 0 && i < kIndexed) {
      index.ids[i] = mount.id;
      index.parents[i] = mount.parent;
      index.devices[i] = mount.major << 20 | mount.minor;
    }
    index.count = i >= 0 && i < kIndexed ? i + 1 : -1;
    SkipLine(&table);
  }
  if (opened) close(table.fd);
  return 1;
}

// Returns the index's line of mount `id`: -1 if its table doesn't show it,
// -2 if the index can't tell.
int Indexed(const TableIndex& index, int id) {
  for (int i = 0; i < index.count; ++i) {
    if (index.ids[i] == id) return i;
  }
  return index.count < 0 ? -2 : -1;
}

// Returns 1 if the mount on line `i` of the index may be in a copy's place:
// unless the mount it is mounted on is shown, and of no device that receives.
int MayBeAtPlace(const BusyMounts* b, int i) {
  const TableIndex& index = b->index;
  const int parent = Indexed(index, index.parents[i]);
  return parent < 0 ||
         OnParentDevice(&b->taken, index.devices[parent] >> 20, index.devices[parent] & 0xfffff);
}

unsigned NamespaceOf(pid_t pid) {
  char name[16];
  return snprintf(name, sizeof(name), "%d", pid) > 0 ? NamespaceInode(name, "mnt") : 0;
}

int Unjudged(CopyHeld* held, int why) {
  held->unjudged = why;
  return -1;
}

// Judges mount `id`, on which process `pid` holds a file, as HoldsBusyMount()
// does, from the table that shows it, read again: mostly the holder's own,
// whose mounts are indexed for its next holds; a descriptor handed over may
// be of any.
int JudgeAgain(BusyMounts* b, pid_t pid, int id, CopyHeld* held) {
  const unsigned ns = NamespaceOf(pid);
  Finding finding = {id, 0, {}, 0, 0, 0, nullptr, nullptr, nullptr};
  int unread = ns == 0 || !Index(b, pid, ns), found = kAbsent;
  const int line = unread ? -1 : Indexed(b->index, id);
  if (line >= 0 && (NamespaceWhole(b, ns) || !MayBeAtPlace(b, line))) return 0;
  if (line != -1 && !unread) found = FindPlaceOf(b, pid, ns, &finding);
  if (found == kAbsent) found = EachTable(b, FindPlace, &finding, &unread);
  if (found != kAbsent) return PlacedCounts(b, finding, held);
  // Shown by no table: a mount detached from every namespace, which no
  // unmount looks at; unless a table could not be read.
  return unread || b->unread > 0 ? Unjudged(held, kNoTableShows) : 0;
}

// Forgets what the last readings of the tables told.
void Forget(BusyMounts* b) {
  b->index.ns = 0;
  for (auto& verdict : b->verdicts) verdict.id = -1;
}

}  // namespace

void StartBusyMounts(const char* mount_point, KeptTables* kept, BusyMounts* mounts) {
  mounts->mount_point = mount_point;
  mounts->kept = kept;
  mounts->state = 0;
  mounts->namespace_count = 0;
  mounts->self = 0;
  mounts->key = 0;
  mounts->masked = nullptr;
  mounts->masked_count = 0;
  mounts->left_out_count = 0;
  Forget(mounts);
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
  b->left_out = 0;
  b->unread = 0;
  b->left_out_count = 0;
  Forget(b);
  b->paths.left_out = 0;
  if (b->kept != nullptr) ++b->kept->generation;
  if (b->transient > 0) DropTransient(b);
  if (!ReadOwnNamespace(b)) return;
  if (b->kept != nullptr) ReadChanged(b);
  ReadNamespaces(b);
  ResolveReceivers(&b->taken, &b->copies, LinksUntold(b));
}

void CloseBusyMounts(BusyMounts* mounts) {
  DropNamespaces(mounts);
}

int ReadHeldNamespace(BusyMounts* b, int ns_fd, unsigned inode) {
  Table table;
  if (KnownNamespace(b, inode) || !OpenTableInside(ns_fd, &table)) return 0;
  const int i = AddNamespace(b, inode);
  const int told = ScanTable(b, &table, inode);
  if (i >= 0) {
    KeepSlot(b, i, &table, told);
  } else {
    NoteTransient(b, inode, told);
    close(table.fd);
  }
  ResolveReceivers(&b->taken, &b->copies, LinksUntold(b));
  Forget(b);
  return 1;
}

int KnownNamespace(const BusyMounts* b, unsigned inode) {
  if (inode == b->self || FindNamespace(b, inode) >= 0) return 1;
  for (int i = 0; i < b->copies.count; ++i) {
    if (b->copies.copies[i].ns == inode) return 1;
  }
  return 0;
}

int PathOnBusyMount(const BusyMounts* b, const char* path) {
  const Paths& p = b->paths;
  if (p.left_out) return path[0] == '/';
  for (int i = 0; i < p.prefix_count; ++i) {
    const auto& prefix = p.entries[p.prefixes[i]];
    if (PathMatchesMountPointOfLength(path, p.text + prefix.offset, prefix.length)) return 1;
  }
  return 0;
}

int PathHeldInOwnNamespace(BusyMounts* b, pid_t pid, const char* path, CopyHeld* held) {
  *held = {0, 0, kJudged};
  // Before any table is read, as when a parser is tried alone, the path decides.
  if (b->state == 0) return PathMatchesMountPoint(path, b->mount_point);
  if (b->state < 0) return Unjudged(held, kUnreadTable);
  const unsigned ns = NamespaceOf(pid);
  if (ns == 0) return Unjudged(held, kUnreadTable);
  // M and the mounts under it, where the sweeper's own namespace shows them.
  if (ns == b->self && PathMatchesMountPoint(path, b->mount_point)) return 1;
  if (!b->taken.propagates || Masked(b, ns)) return 0;
  const int i = FindNamespace(b, ns);
  if (i >= 0 && b->states[i] == kRead) {
    int verdict = 0;
    for (int k = 0; verdict != 1 && k < b->copies.count; ++k) {
      const Copy& copy = b->copies.copies[k];
      if (copy.ns != ns || !PathMatchesMountPoint(path, PathAt(&b->paths, copy.path))) continue;
      verdict = Either(verdict, CopyCounts(b, ns, copy.children, copy.group, copy.taken,
                                           copy.replaced, copy.receives, held));
    }
    return verdict;
  }
  // Its records left something out: the mount the path lies on, in its table.
  Table table;
  int opened;
  if (!OpenNamespaceTable(b, pid, ns, &table, &opened)) return Unjudged(held, kUnreadTable);
  Finding finding = {MountAtPath(&table, path), 0, {}, 0, 0, 0, nullptr, nullptr, nullptr};
  const int found = finding.id >= 0 && FindPlace(b, &table, ns, &finding) == 1;
  if (opened) close(table.fd);
  return found ? PlacedCounts(b, finding, held) : 0;
}

int HoldsBusyMount(BusyMounts* b, pid_t pid, int id, const char* path, CopyHeld* held) {
  *held = {0, 0, kJudged};
  if (b->state <= 0 || id < 0) return PathHeldInOwnNamespace(b, pid, path, held);
  for (int i = 0; i < b->taken.count; ++i) {
    if (b->taken.mounts[i].id == id) return 1;
  }
  int verdict = 0, noted = 0;
  for (int i = 0; verdict != 1 && i < b->copies.count; ++i) {
    const Copy& copy = b->copies.copies[i];
    if (copy.id != id || Masked(b, copy.ns)) continue;
    noted = 1;
    verdict = Either(verdict, CopyCounts(b, copy.ns, copy.children, copy.group, copy.taken,
                                         copy.replaced, copy.receives, held));
  }
  if (noted || Whole(b)) return verdict;
  auto& remembered = b->verdicts[id % kVerdicts];
  if (remembered.id == id && b->masked_count == 0) {
    *held = remembered.held;
    return remembered.verdict;
  }
  verdict = JudgeAgain(b, pid, id, held);
  if (b->masked_count == 0) remembered = {id, verdict, *held};
  return verdict;
}

int OtherMountOf(BusyMounts* b, unsigned major, unsigned minor, const char* path, const char* file,
                 unsigned* ns, char* where) {
  Finding finding = {-1, 0, {}, 0, major, minor, path, file, where};
  int unread = 0;
  const int found = EachTable(b, FindOtherMount, &finding, &unread);
  *ns = finding.ns;
  return found != kAbsent ? 1 : unread || b->unread > 0 || (path != nullptr && !Whole(b)) ? -1 : 0;
}

int OnBusyDevice(const BusyMounts* b, unsigned major, unsigned minor) {
  if (b->state <= 0 || !Whole(b)) return 1;
  for (int i = 0; i < b->taken.count; ++i) {
    if (b->taken.mounts[i].major == major && b->taken.mounts[i].minor == minor) return 1;
  }
  // A mount in a copy's place may be of any device.
  for (int i = 0; i < b->copies.count; ++i) {
    const Copy& copy = b->copies.copies[i];
    if (copy.replaced && copy.receives != kReceivesNot && copy.children != kPassedOver) return 1;
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
    if (copy.receives != kReceivesNot && copy.children != kPassedOver && entry.length >= longest &&
        PathMatchesMountPointOfLength(path, b->paths.text + entry.offset, entry.length)) {
      network = static_cast<int>(copy.network);
      longest = entry.length;
    }
  }
  return network;
}

}  // namespace busyumount
