// Mount tables: parsing mountinfo, and telling a mount of the mount point's
// file systems from one that only shows the same path (a directory the mount
// covers, a look-alike mount in another namespace). Every failure to read
// leaves the path to decide, as it did before the tables were looked at.
#include "MountTable.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "Matcher.h"

namespace busyumount {
namespace {

// A line of mountinfo; a longer one is passed over.
constexpr size_t kLineSize = 8192;

// File systems whose open of a path may wait on a server that never answers.
constexpr const char* kNetworkTypes[] = {"nfs", "nfs4", "cifs", "smb3", "9p", "ceph"};

int IsOctal(char c) {
  return c >= '0' && c <= '7';
}

// Returns a pointer past the `count` blank-separated fields that begin at `text`.
const char* SkipFields(const char* text, int count) {
  for (; count > 0; --count) {
    text += strcspn(text, " ");
    text += strspn(text, " ");
  }
  return text;
}

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

int Has(const unsigned char* bits, int id) {
  return (bits[id / 8] >> (id % 8)) & 1;
}

void Set(unsigned char* bits, int id) {
  bits[id / 8] = static_cast<unsigned char>(bits[id / 8] | 1 << (id % 8));
}

// Notes each mount of the table at `path` as seen, and as the mount point's
// own when its device is one of theirs; returns 1, or 0 if it can't be read.
int NoteTable(MountTables* tables, const char* path) {
  char buffer[kReadSize];
  FILE* table = OpenStream(path, buffer);
  if (table == nullptr) return 0;
  Mount mount;
  while (ReadMount(table, &mount)) {
    if (mount.id >= kMaxMountIds) continue;
    Set(tables->seen, mount.id);
    for (int i = 0; i < tables->count; ++i) {
      if (tables->mounts[i].major == mount.major && tables->mounts[i].minor == mount.minor) {
        Set(tables->own, mount.id);
      }
    }
  }
  (void)fclose(table);
  return 1;
}

// Returns 1 if the table of `pid`'s mount namespace has been noted, now or
// before, 0 if it can't be read or the namespaces are too many to tell. A
// namespace counts as read only once its table was.
int NoteNamespace(MountTables* tables, pid_t pid) {
  char link[kPathSize];
  char path[kPathSize];
  if (tables->namespace_count < 0 || !ReadProcessLink(pid, "ns/mnt", link) ||
      !ProcPath(path, pid, "mountinfo")) {
    return 0;
  }
  // "mnt:[4026531841]"
  const unsigned long long inode = strtoull(link + strcspn(link, "[") + 1, nullptr, 10);
  for (int i = 0; i < tables->namespace_count; ++i) {
    if (tables->namespaces[i] == inode) return 1;
  }
  if (tables->namespace_count == kMaxNamespaces) {
    tables->namespace_count = -1;
    return 0;
  }
  if (!NoteTable(tables, path)) return 0;
  tables->namespaces[tables->namespace_count++] = inode;
  return 1;
}

// Adds `mount` to the mount point's file systems; returns 0 if they are full.
int AddOwn(MountTables* tables, const Mount* mount) {
  const size_t length = strlen(mount->mount_point) + 1;
  if (tables->count == kMaxOwnMounts || tables->used + length > sizeof(tables->mount_points)) {
    return 0;
  }
  memcpy(tables->mount_points + tables->used, mount->mount_point, length);
  tables->mounts[tables->count++] = {mount->major, mount->minor, IsNetworkType(mount->type),
                                     tables->used};
  tables->used += length;
  return 1;
}

// Reads the sweeper's own table, once; returns its state. The mounts at the
// mount point and under it (where none is at it, the one it lies on) are the
// mount point's file systems. Which those are is known only at the table's
// end, so a second read notes the mounts of them.
int ReadOwnTable(MountTables* tables) {
  if (tables->state != 0) return tables->state;
  tables->state = -1;
  memset(tables->seen, 0, sizeof(tables->seen));
  memset(tables->own, 0, sizeof(tables->own));
  char buffer[kReadSize];
  FILE* table = OpenStream("/proc/self/mountinfo", buffer);
  if (table == nullptr) return -1;
  Mount mount;
  Mount lies_on;
  lies_on.mount_point[0] = '\0';
  int at = 0;
  int fits = 1;
  while (fits && ReadMount(table, &mount)) {
    if (PathMatchesMountPoint(mount.mount_point, tables->mount_point)) {
      at |= strcmp(mount.mount_point, tables->mount_point) == 0;
      fits = AddOwn(tables, &mount);
    } else if (Covers(mount.mount_point, tables->mount_point) &&
               strlen(mount.mount_point) >= strlen(lies_on.mount_point)) {
      // Of mounts stacked at one path, the last listed is on top.
      lies_on = mount;
    }
  }
  (void)fclose(table);
  if (fits && (at || (lies_on.mount_point[0] != '\0' && AddOwn(tables, &lies_on))) &&
      NoteNamespace(tables, getpid())) {
    tables->state = 1;
  }
  return tables->state;
}

}  // namespace

int UnescapeField(const char* text, char* path) {
  size_t length = 0;
  for (; *text != '\0' && *text != ' ' && *text != '\t' && *text != '\n'; ++text) {
    if (length + 1 >= kPathSize) return 0;
    if (text[0] == '\\' && IsOctal(text[1]) && IsOctal(text[2]) && IsOctal(text[3])) {
      path[length++] =
          static_cast<char>((text[1] - '0') * 64 + (text[2] - '0') * 8 + text[3] - '0');
      text += 3;
    } else {
      path[length++] = *text;
    }
  }
  path[length] = '\0';
  return *text != '\0';
}

// Fields: id, parent id, major:minor, root, mount point, options, optional
// fields, "-", type, source, super options. Paths have their blanks escaped,
// so the first " - " after the options ends the optional fields.
int ReadMount(FILE* table, Mount* mount) {
  char line[kLineSize];
  while (fgets(line, sizeof(line), table) != nullptr) {
    const size_t length = strlen(line);
    if (length == 0 || line[length - 1] != '\n') {
      for (int c = 0; c != EOF && c != '\n';) c = getc(table);
      continue;
    }
    char* end = nullptr;
    const long id = strtol(line, &end, 10);
    const int parsed = end != line && id >= 0 && id <= INT_MAX;
    mount->major = static_cast<unsigned>(strtoul(SkipFields(line, 2), &end, 10));
    if (!parsed || *end != ':') continue;
    mount->minor = static_cast<unsigned>(strtoul(end + 1, &end, 10));
    const char* separator = strstr(SkipFields(line, 5), " - ");
    if (*end != ' ' || separator == nullptr ||
        !UnescapeField(SkipFields(line, 4), mount->mount_point)) {
      continue;
    }
    mount->id = static_cast<int>(id);
    const int type_length = static_cast<int>(strcspn(separator + 3, " \n"));
    (void)snprintf(mount->type, sizeof(mount->type), "%.*s",
                   type_length < static_cast<int>(sizeof(mount->type)) ? type_length : 0,
                   separator + 3);
    return 1;
  }
  return 0;
}

void StartMountTables(const char* mount_point, MountTables* tables) {
  tables->mount_point = mount_point;
  tables->state = 0;
  tables->count = 0;
  tables->used = 0;
  tables->namespace_count = 0;
}

int OnNetworkFileSystem(MountTables* tables, const char* path) {
  if (ReadOwnTable(tables) < 0) return 1;
  int on = -1;
  size_t longest = 0;
  for (int i = 0; i < tables->count; ++i) {
    const char* mount_point = tables->mount_points + tables->mounts[i].offset;
    if (Covers(mount_point, path) && strlen(mount_point) >= longest) {
      on = i;
      longest = strlen(mount_point);
    }
  }
  return on < 0 || tables->mounts[on].network;
}

int MountHoldsMountPoint(MountTables* tables, pid_t pid, int id) {
  if (ReadOwnTable(tables) < 0 || id < 0 || id >= kMaxMountIds) return 1;
  if (Has(tables->seen, id)) return Has(tables->own, id);
  // Its own table can't be read: it may be gone, or kept from us.
  if (!NoteNamespace(tables, pid)) return 1;
  // A descriptor handed over from another namespace names a mount of that one.
  int refused = 0;
  if (!Has(tables->seen, id)) {
    Directory proc;
    if (!OpenDirectory("/proc", &proc)) return 1;
    for (const char* name; !Has(tables->seen, id) && (name = ReadDirectory(&proc)) != nullptr;) {
      if (get_pid(name) > 0 && !NoteNamespace(tables, get_pid(name))) {
        refused |= errno == EACCES || errno == EPERM;
      }
    }
    CloseDirectory(&proc);
  }
  if (Has(tables->seen, id)) return Has(tables->own, id);
  // A mount that no table lists is detached from every namespace, unless a
  // table was kept from us or there were too many to read.
  return refused || tables->namespace_count < 0;
}

}  // namespace busyumount
