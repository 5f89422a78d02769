// The kernel's rule for a busy mount. umount(M) fails while M is held or has
// mounts on it. It also takes M's copies along, and first looks at each, in
// this order:
//  1. the receivers of M's parent P, in every namespace: the mounts that
//     receive what P propagates, which are P's peers (shared:N), its slaves
//     (master:N), and the slaves of those of them that are shared too;
//  2. under each receiver, the mount at M's place, the directory of P's file
//     system that M is mounted on: whatever sits there, a copy of M or a
//     mount that its namespace put in the copy's place;
//  3. that mount's topper: one with mounts of its own on it is passed over,
//     unless that is a single mount covering it whole;
//  4. the count: one that anybody holds keeps M busy (the holder test).
// The mounts under M go with it, each the same way against its own parent.
//
// In a table, a mount's place is its parent's root joined with its mount
// point below the parent's. Peer group numbers and mount ids are the same in
// every namespace's table, and a mount propagates only to mounts of its own
// file system, so most lines are passed over after their ids and device.
#include "Propagation.h"

#include <string.h>

#include "Matcher.h"

namespace busyumount {
namespace {

// Lines of the sweeper's own table that lie on the mount point's path.
constexpr int kMaxOwnLines = 128;
// The bytes of the paths of the places under one table's receivers.
constexpr size_t kSitesSize = 2 * kPathSize;
// Bits of the filter of the parent ids of the lines a pass has read.
constexpr unsigned kParentBits = 16384;

// File systems whose open of a path may wait on a server that never answers.
constexpr const char* kNetworkTypes[] = {"nfs", "nfs4", "cifs", "smb3", "9p", "ceph"};

int IsNetworkType(const char* type) {
  for (const char* network : kNetworkTypes) {
    if (strcmp(type, network) == 0) return 1;
  }
  return 0;
}

// A file system's root as "", so that joining it with what lies below needs
// no case of its own.
const char* Root(const char* root) {
  return strcmp(root, "/") == 0 ? "" : root;
}

// Returns how many bytes of `path` (`length` bytes) lie at or above
// `directory` (`directory_length` bytes): where what lies below it begins,
// all of `path` lying below "/"; or -1 if `path` doesn't lie there.
long Below(const char* path, size_t length, const char* directory, size_t directory_length) {
  if (directory_length == 1 && directory[0] == '/') return 0;
  if (length < directory_length || strncmp(path, directory, directory_length) != 0) return -1;
  return length == directory_length || path[directory_length] == '/'
             ? static_cast<long>(directory_length)
             : -1;
}

// Appends `la` bytes of `a` and then `lb` of `b` to `text` (`size` bytes,
// `*used` taken), as one NUL-terminated string; returns its offset, or -1 if
// it doesn't fit.
long Append(char* text, size_t size, size_t* used, const char* a, size_t la, const char* b,
            size_t lb) {
  if (*used + la + lb + 1 > size) return -1;
  const size_t offset = *used;
  memcpy(text + offset, a, la);
  memcpy(text + offset + la, b, lb);
  text[offset + la + lb] = '\0';
  *used += la + lb + 1;
  return static_cast<long>(offset);
}

// Appends the string `text` to `text`.
long AppendString(char* text, size_t size, size_t* used, const char* string) {
  return Append(text, size, used, string, strlen(string), "", 0);
}

}  // namespace

// A path under another needs no comparing of its own.
int AddPath(Paths* p, const char* path) {
  int covered = 0;
  for (int i = 0; i < p->count; ++i) {
    if (strcmp(PathAt(p, i), path) == 0) return i;
    covered |= PathMatchesMountPoint(path, PathAt(p, i));
  }
  if (p->count == kMaxPaths) return -1;
  const long offset = AppendString(p->text, sizeof(p->text), &p->used, path);
  if (offset < 0) return -1;
  for (int i = 0; !covered && i < p->count; ++i) {
    p->entries[i].covered |= PathMatchesMountPoint(PathAt(p, i), path);
  }
  p->entries[p->count] = {static_cast<unsigned>(offset), static_cast<unsigned>(strlen(path)),
                          covered};
  p->prefix_count = 0;
  for (int i = 0; i <= p->count; ++i) {
    if (!p->entries[i].covered) p->prefixes[p->prefix_count++] = static_cast<unsigned char>(i);
  }
  return p->count++;
}

namespace {

// ---- The taken mounts, from the sweeper's own table.

// A line of the sweeper's own table that lies on the mount point's path.
struct OwnLine {
  int id, parent;
  unsigned major, minor;
  int shared;
  int network;
  int covers;  // the length of its mount point when the mount point lies on or
               // under it, else -1: the mount point's own text holds it
  int taken;
  int is_parent;     // of a taken mount
  int on;            // the index of the line it is mounted on, or -1
  long root;         // offsets in the taken mounts' text, or -1
  long mount_point;  // for a line under the mount point
};

struct OwnTable {
  int at;  // a mount is at the mount point: it is no plain directory
  int count;
  OwnLine lines[kMaxOwnLines];
};

// Returns the index of the line on top of those at the mount point (mounts
// stacked at one path, the one no other is on), or -1 if none is there.
int Top(const OwnTable* own, int covers) {
  int top = -1;
  for (int i = 0; i < own->count; ++i) {
    if (own->lines[i].covers != covers) continue;
    int carries = 0;
    for (int j = 0; j < own->count; ++j) {
      carries |= own->lines[j].on == i && own->lines[j].covers == covers;
    }
    if (!carries) top = i;
  }
  return top;
}

// Notes the lines on the mount point's path, and which of them are taken: the
// mount at the mount point, or else the one the path lies on, and those
// under it by their parents. Returns 0 if the lines are too many.
int NoteOwnLines(Table* table, const char* mount_point, OwnTable* own) {
  Mount mount;
  own->count = 0;
  own->at = 0;
  while (ReadMount(table, &mount)) {
    const char* at = mount.mount_point;
    const int covers = strcmp(at, "/") == 0 || PathMatchesMountPoint(mount_point, at)
                           ? static_cast<int>(strlen(at))
                           : -1;
    if (covers < 0 && !LiesUnder(at, mount_point)) continue;
    if (own->count == kMaxOwnLines) return 0;
    own->lines[own->count++] = {mount.id,
                                mount.parent,
                                mount.major,
                                mount.minor,
                                mount.shared,
                                IsNetworkType(mount.type),
                                covers,
                                0,
                                0,
                                -1,
                                -1,
                                -1};
  }
  for (int i = 0; i < own->count; ++i) {
    for (int j = 0; j < own->count; ++j) {
      if (own->lines[j].id == own->lines[i].parent && j != i) own->lines[i].on = j;
    }
  }
  // The mount at the mount point; for a plain directory, the longest path it
  // lies on.
  int longest = -1;
  for (int i = 0; i < own->count; ++i) {
    if (own->lines[i].covers > longest) longest = own->lines[i].covers;
  }
  const int top = longest < 0 ? -1 : Top(own, longest);
  if (top < 0) return 1;
  own->lines[top].taken = 1;
  own->at = static_cast<size_t>(longest) == strlen(mount_point);
  for (int changed = 1; changed;) {
    changed = 0;
    for (int i = 0; i < own->count; ++i) {
      OwnLine& line = own->lines[i];
      if (!line.taken && line.covers < 0 && line.on >= 0 && own->lines[line.on].taken) {
        line.taken = changed = 1;
      }
    }
  }
  for (int i = 0; i < own->count; ++i) {
    if (own->lines[i].taken && own->lines[i].on >= 0) own->lines[own->lines[i].on].is_parent = 1;
  }
  return 1;
}

// Reads the roots, and the mount points under the mount point, of the taken
// lines and their parents into the taken mounts' text. Returns 0 if they
// don't fit.
int ReadOwnStrings(Table* table, OwnTable* own, Taken* taken) {
  Mount mount;
  RewindTable(table->fd, table);
  int fits = 1;
  while (fits && ReadMountStart(table, &mount)) {
    OwnLine* line = nullptr;
    for (int i = 0; i < own->count; ++i) {
      const OwnLine& l = own->lines[i];
      if (l.id == mount.id && (l.taken || l.is_parent)) line = &own->lines[i];
    }
    if (line == nullptr) {
      SkipLine(table);
      continue;
    }
    if (!ReadMountRest(table, &mount)) continue;
    line->root = AppendString(taken->text, sizeof(taken->text), &taken->used, mount.root);
    if (line->covers < 0) {
      line->mount_point =
          AppendString(taken->text, sizeof(taken->text), &taken->used, mount.mount_point);
    }
    fits = line->root >= 0 && (line->covers >= 0 || line->mount_point >= 0);
  }
  for (int i = 0; i < own->count; ++i) {
    const OwnLine& l = own->lines[i];
    fits &= !(l.taken || l.is_parent) || l.root >= 0;
  }
  return fits;
}

// Returns the mount point of `line`: the mount point's own text, cut to its
// length, for a line it lies on.
const char* OwnMountPoint(const OwnLine& line, const Taken* taken, const char* mount_point,
                          size_t* length) {
  if (line.covers >= 0) {
    *length = static_cast<size_t>(line.covers);
    return mount_point;
  }
  *length = strlen(taken->text + line.mount_point);
  return taken->text + line.mount_point;
}

// ---- One table's receivers, the mounts at the places under them, and what
// is mounted on those.

// Where a receiver would show a taken mount's place: a mount there is in a
// copy's place.
struct Site {
  int receiver;   // its mount id
  int group;      // 0 for a peer of the taken mount's parent, else its master group
  int taken;      // the index of the taken mount
  unsigned path;  // offset in `text`
};

// What one table's reading notes besides the copies: the sites, and a filter
// of the parent ids of the lines read, which tells whether a receiver or a
// copy came after a line mounted on it.
struct Scan {
  unsigned ns;
  int first;  // this table's first copy
  int count;
  Site sites[kMaxSites];
  size_t used;
  char text[kSitesSize];
  unsigned char parents[kParentBits / 8];
  int out_of_order;
  int left_out;  // kCopiesLeftOut, kLinksLeftOut
};

unsigned ParentBit(int id) {
  return static_cast<unsigned>(id) * 2654435761u % kParentBits;
}

// Notes that a line read is mounted on mount `parent`; or, with `check`,
// notes the table out of order if a line read may be mounted on mount `id`.
void NoteParent(Scan* s, int parent) {
  s->parents[ParentBit(parent) / 8] |= static_cast<unsigned char>(1u << ParentBit(parent) % 8);
}
void CheckOrder(Scan* s, int id) {
  s->out_of_order |= (s->parents[ParentBit(id) / 8] >> ParentBit(id) % 8) & 1;
}

int IsReceiver(const Scan* s, int id) {
  for (int i = 0; i < s->count; ++i) {
    if (s->sites[i].receiver == id) return 1;
  }
  return 0;
}

// Returns the index of mount `id` among the copies that the table read now
// shows, or -1.
int CopyIndex(const Copies* c, const Scan* s, int id) {
  for (int i = s->first; i < c->count; ++i) {
    if (c->copies[i].id == id) return i;
  }
  return -1;
}

// Returns how many bytes of the place of taken mount `t` lie at or above the
// root of `mount`, when `mount` may receive what t's parent propagates and its
// root holds the place: `mount` shows the place at its mount point joined with
// what lies below. Returns -1 otherwise.
long SiteBelow(const Mount* mount, const Taken* taken, const TakenMount& t) {
  // P itself, a mount of another file system, or one that can't receive.
  if (t.group == 0 || mount->id == t.parent || mount->major != t.parent_major ||
      mount->minor != t.parent_minor || (mount->shared != t.group && mount->master == 0)) {
    return -1;
  }
  const char* place = taken->text + t.place;
  const char* root = Root(mount->root);
  return Below(place, strlen(place), root, strlen(root));
}

// How many bytes of a mount point `at` a site begins with: none for "/", unless
// the place is its root.
size_t SiteStart(const char* at, const char* rest) {
  return strcmp(at, "/") == 0 && rest[0] != '\0' ? 0 : strlen(at);
}

// Returns 1 if `path` is the site at mount point `at`, `rest` of the place
// lying below its root.
int AtSite(const char* at, const char* rest, const char* path) {
  const size_t start = SiteStart(at, rest);
  return strncmp(path, at, start) == 0 && strcmp(path + start, rest) == 0;
}

// Step 1: notes `mount` if it may receive what a taken mount's parent
// propagates, a site for each taken mount whose place it shows, and the link
// between its peer groups. Whether a slave receives is known only once every
// table has told its links. What doesn't fit is noted as left out.
void NoteReceiver(const Mount* mount, const Taken* taken, Scan* s, Copies* c) {
  if (IsReceiver(s, mount->id) || (mount->shared == 0 && mount->master == 0)) return;
  for (int i = 0; i < taken->count; ++i) {
    const TakenMount& t = taken->mounts[i];
    const long below = SiteBelow(mount, taken, t);
    if (below < 0) continue;
    const char* at = mount->mount_point;
    const char* rest = taken->text + t.place + below;
    const long path =
        Append(s->text, sizeof(s->text), &s->used, at, SiteStart(at, rest), rest, strlen(rest));
    if (path < 0 || s->count == kMaxSites) {
      s->left_out |= kCopiesLeftOut;
      continue;
    }
    s->sites[s->count++] = {mount->id, mount->shared == t.group ? 0 : mount->master, i,
                            static_cast<unsigned>(path)};
  }
  if (mount->shared == 0 || mount->master == 0) return;
  for (int i = 0; i < c->link_count; ++i) {
    const Link& l = c->links[i];
    if (l.ns == s->ns && l.master == mount->master && l.group == mount->shared) return;
  }
  if (c->link_count == kMaxLinks) {
    s->left_out |= kLinksLeftOut;
    return;
  }
  c->links[c->link_count++] = {mount->master, mount->shared, s->ns};
}

// Step 2: notes `mount` if it is the mount at a taken mount's place under a
// receiver, a copy for each taken mount whose place it is at; returns 1 if it
// is, noted or left out, else 0.
int NoteMountAtPlace(const Mount* mount, const Taken* taken, Scan* s, Paths* paths, Copies* c) {
  int at_place = 0;
  for (int i = 0; i < s->count; ++i) {
    const Site& site = s->sites[i];
    if (site.receiver != mount->parent || strcmp(s->text + site.path, mount->mount_point) != 0) {
      continue;
    }
    at_place = 1;
    int noted = 0;
    for (int k = s->first; k < c->count; ++k) {
      noted |=
          c->copies[k].id == mount->id && c->copies[k].taken == static_cast<unsigned>(site.taken);
    }
    if (noted) continue;
    const int path = AddPath(paths, mount->mount_point);
    if (path < 0 || c->count == kMaxCopies) {
      paths->left_out |= path < 0;
      s->left_out |= kCopiesLeftOut;
      continue;
    }
    const TakenMount& t = taken->mounts[site.taken];
    const int replaced = mount->major != t.major || mount->minor != t.minor ||
                         strcmp(mount->root, taken->text + t.root) != 0;
    Copy& copy = c->copies[c->count++];
    copy = {mount->id, site.group, s->ns, 0, 0, kNothing, 0, 0, kReceivesNot};
    copy.path = static_cast<unsigned>(path);
    copy.taken = static_cast<unsigned>(site.taken);
    copy.network = static_cast<unsigned>(IsNetworkType(mount->type));
    copy.replaced = static_cast<unsigned>(replaced);
  }
  return at_place;
}

// Step 3: notes `mount` as mounted on the mount in a copy's place that it is
// on: the one covering it whole, or one more, which passes it over.
void NoteMountOn(const Mount* mount, const Scan* s, const Paths* paths, Copies* c) {
  for (int i = s->first; i < c->count; ++i) {
    Copy& copy = c->copies[i];
    if (copy.id != mount->parent) continue;
    copy.children =
        copy.children == kNothing &&
                strcmp(mount->mount_point, PathAt(paths, static_cast<int>(copy.path))) == 0
            ? kTopper
            : kPassedOver;
  }
}

// Reads the table once: each line of a parent's device may be a receiver,
// each line on a receiver may be at a place, and each line on one of those
// may be mounted on it.
void ReadPass(Table* table, int pass, const Taken* taken, Scan* s, Paths* paths, Copies* c) {
  Mount mount;
  for (int i = s->first; i < c->count; ++i) c->copies[i].children = kNothing;
  while (ReadMountStart(table, &mount)) {
    if (pass == 1) NoteParent(s, mount.parent);
    if (mount.major == taken->nsfs_major && mount.minor == taken->nsfs_minor) {
      s->left_out |= kNamespaceFiles;
    }
    if (!OnParentDevice(taken, mount.major, mount.minor) && !IsReceiver(s, mount.parent) &&
        CopyIndex(c, s, mount.parent) < 0) {
      SkipLine(table);
      continue;
    }
    if (!ReadMountRest(table, &mount)) continue;
    const int sites = s->count, copies = c->count;
    NoteReceiver(&mount, taken, s, c);
    if (!NoteMountAtPlace(&mount, taken, s, paths, c)) NoteMountOn(&mount, s, paths, c);
    // A line before this one may be mounted on what it noted.
    if (pass == 1 && (s->count > sites || c->count > copies)) CheckOrder(s, mount.id);
  }
}

}  // namespace

int OnParentDevice(const Taken* taken, unsigned major, unsigned minor) {
  for (int i = 0; i < taken->count; ++i) {
    const TakenMount& t = taken->mounts[i];
    if (t.group != 0 && t.parent_major == major && t.parent_minor == minor) return 1;
  }
  return 0;
}

const char* PathAt(const Paths* paths, int index) {
  return paths->text + paths->entries[index].offset;
}

int ReadTakenMounts(Table* table, const char* mount_point, Taken* taken) {
  taken->count = 0;
  taken->propagates = 0;
  taken->nsfs_major = taken->nsfs_minor = ~0u;
  taken->used = 0;
  OwnTable own;
  if (!NoteOwnLines(table, mount_point, &own) || !ReadOwnStrings(table, &own, taken)) return -1;
  for (int i = 0; i < own.count; ++i) {
    const OwnLine& line = own.lines[i];
    if (!line.taken) continue;
    if (taken->count == kMaxTaken) return -1;
    size_t length, parent_length = 0;
    const char* at = OwnMountPoint(line, taken, mount_point, &length);
    TakenMount& t = taken->mounts[taken->count++];
    t = {line.id,
         line.major,
         line.minor,
         line.parent,
         0,
         0,
         0,
         line.network,
         0,
         static_cast<unsigned>(line.root),
         line.mount_point,
         static_cast<unsigned>(length)};
    // A plain directory is no mount: nothing propagates its unmount.
    if (line.on < 0 || !own.at) continue;
    // Its place: the parent's root joined with its mount point below the parent's.
    const OwnLine& parent = own.lines[line.on];
    const char* parent_at = OwnMountPoint(parent, taken, mount_point, &parent_length);
    const long below = Below(at, length, parent_at, parent_length);
    const char* parent_root = Root(taken->text + parent.root);
    const long place =
        below < 0 ? -1
                  : Append(taken->text, sizeof(taken->text), &taken->used, parent_root,
                           strlen(parent_root), at + below, length - static_cast<size_t>(below));
    if (place < 0) return -1;
    t.place = static_cast<unsigned>(place);
    t.parent_major = parent.major;
    t.parent_minor = parent.minor;
    t.group = parent.shared;
    taken->propagates |= parent.shared != 0;
  }
  return taken->count > 0;
}

const char* TakenMountPoint(const Taken* taken, int index, const char* mount_point,
                            size_t* length) {
  const TakenMount& t = taken->mounts[index];
  *length = t.length;
  return t.mount_point < 0 ? mount_point : taken->text + t.mount_point;
}

int ReadCopies(Table* table, unsigned ns, const Taken* taken, Paths* paths, Copies* copies) {
  Scan s;
  s.ns = ns;
  s.first = copies->count;
  s.count = 0;
  s.used = 0;
  s.out_of_order = 0;
  s.left_out = 0;
  memset(s.parents, 0, sizeof(s.parents));
  ReadPass(table, 1, taken, &s, paths, copies);
  // Out of order (mounts were moved): a second pass knows every receiver
  // before the mounts at its places, a third every such mount before the
  // mounts on it.
  for (int pass = 2; s.out_of_order && pass <= 3; ++pass) {
    RewindTable(table->fd, table);
    ReadPass(table, pass, taken, &s, paths, copies);
  }
  // A copy whose site or mounts went unnoted may be told wrong: none of the
  // table's is kept.
  if ((s.left_out & kCopiesLeftOut) != 0) copies->count = s.first;
  return s.left_out;
}

void DropCopies(Copies* c, unsigned ns) {
  int kept = 0;
  for (int i = 0; i < c->count; ++i) {
    if (c->copies[i].ns != ns) c->copies[kept++] = c->copies[i];
  }
  c->count = kept;
  kept = 0;
  for (int i = 0; i < c->link_count; ++i) {
    if (c->links[i].ns != ns) c->links[kept++] = c->links[i];
  }
  c->link_count = kept;
}

// Each group has one master, so the way from a group to the parent's is the
// way up through its masters, with no set of groups to keep.
int Reaches(const Copies* c, int group, int origin, int links_left_out, int* last,
            const unsigned* masked, int masked_count) {
  for (int steps = 0; steps <= c->link_count; ++steps) {
    if (group == origin) return kReceives;
    int master = 0;
    for (int i = 0; master == 0 && i < c->link_count; ++i) {
      int told = c->links[i].group == group;
      for (int m = 0; told && m < masked_count; ++m) told = c->links[i].ns != masked[m];
      if (told) master = c->links[i].master;
    }
    if (master == 0) {
      *last = group;
      return links_left_out ? kReceivesUntold : kReceivesNot;
    }
    group = master;
  }
  // A loop of links, which the kernel never makes.
  return kReceivesNot;
}

void ResolveReceivers(const Taken* taken, Copies* c, int links_left_out) {
  for (int i = 0; i < c->count; ++i) {
    Copy& copy = c->copies[i];
    int last;
    const int receives = copy.group == 0 ? static_cast<int>(kReceives)
                                         : Reaches(c, copy.group, taken->mounts[copy.taken].group,
                                                   links_left_out, &last);
    copy.receives = static_cast<unsigned>(receives);
  }
}

int Counts(const Copy& copy) {
  return copy.receives == kReceives && copy.children != kPassedOver;
}

int PlaceMount(Table* table, int id, const Taken* taken, Placed* placed) {
  Mount mount;
  int found = 0;
  RewindTable(table->fd, table);
  while (!found && ReadMountStart(table, &mount)) {
    found = mount.id == id;
    if (!found) SkipLine(table);
  }
  if (!found || !ReadMountRest(table, &mount)) return 0;
  // What the second reading needs of it: its mount point, its parent, where
  // it would show each taken mount's place as a receiver, and whether it shows
  // each taken mount's own file system and root.
  char at[kPathSize];
  memcpy(at, mount.mount_point, sizeof(at));
  const int parent = mount.parent;
  long below[kMaxTaken];
  unsigned replaced = 0;
  for (int i = 0; i < taken->count; ++i) {
    const TakenMount& t = taken->mounts[i];
    below[i] = SiteBelow(&mount, taken, t);
    replaced |= static_cast<unsigned>(mount.major != t.major || mount.minor != t.minor ||
                                      strcmp(mount.root, taken->text + t.root) != 0)
                << i;
  }
  *placed = {0, replaced, 0, 0, 1};
  int children = kNothing;
  RewindTable(table->fd, table);
  while (ReadMountStart(table, &mount)) {
    if ((mount.id != parent && mount.parent != id) || !ReadMountRest(table, &mount)) {
      SkipLine(table);
      continue;
    }
    const int is_parent = mount.id == parent;
    int copy_on_it = 0;
    for (int i = 0; i < taken->count; ++i) {
      const TakenMount& t = taken->mounts[i];
      const long site = is_parent ? SiteBelow(&mount, taken, t) : below[i];
      if (site < 0) continue;
      const char* rest = taken->text + t.place + site;
      // Its parent shows the place of taken mount i where it is: it is at the place.
      if (is_parent && AtSite(mount.mount_point, rest, at)) {
        placed->places |= 1u << i;
        placed->shared = mount.shared;
        placed->master = mount.master;
      }
      // At the place of taken mount i on it: a copy of that one, no mount of its own.
      copy_on_it |= !is_parent && AtSite(at, rest, mount.mount_point);
    }
    if (!is_parent && !copy_on_it) {
      children = children == kNothing && strcmp(mount.mount_point, at) == 0 ? kTopper : kPassedOver;
    }
  }
  placed->counts = children != kPassedOver;
  return 1;
}

int MountAtPath(Table* table, const char* path) {
  Mount mount;
  size_t longest = 0;
  RewindTable(table->fd, table);
  while (ReadMount(table, &mount)) {
    const size_t length = strlen(mount.mount_point);
    if (length > longest &&
        (strcmp(mount.mount_point, "/") == 0 || PathMatchesMountPoint(path, mount.mount_point))) {
      longest = length;
    }
  }
  // Those at that mount point, and which one each is mounted on.
  constexpr int kStacked = 32;
  int ids[kStacked], parents[kStacked], count = 0;
  RewindTable(table->fd, table);
  while (count < kStacked && ReadMount(table, &mount)) {
    if (longest > 0 && strlen(mount.mount_point) == longest &&
        (longest == 1 || PathMatchesMountPoint(path, mount.mount_point))) {
      ids[count] = mount.id;
      parents[count++] = mount.parent;
    }
  }
  for (int i = 0; i < count; ++i) {
    int on_one = 0;
    for (int j = 0; j < count; ++j) on_one |= parents[i] == ids[j];
    if (!on_one) return ids[i];
  }
  return -1;
}

int PlacedGroup(const Placed& placed, const TakenMount& t) {
  return placed.shared == t.group ? 0 : placed.master;
}

int FindMaster(Table* table, const Taken* taken, int group, int* master) {
  Mount mount;
  RewindTable(table->fd, table);
  while (ReadMountStart(table, &mount)) {
    if (!OnParentDevice(taken, mount.major, mount.minor)) {
      SkipLine(table);
    } else if (ReadMountRest(table, &mount) && mount.shared == group) {
      *master = mount.master;
      return 1;
    }
  }
  return 0;
}

}  // namespace busyumount
