// The Unix sockets bound under the mount point, from /proc/net/unix, read so
// that no line a user can forge gets a bystander signalled.
#include "UnixSockets.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "Matcher.h"

namespace busyumount {
namespace {

// A line of the listing: the longest bound path and the fields before it.
constexpr size_t kListLineSize = kSocketPathSize + 128;

// Returns the inode of the socket that a line of /proc/net/unix lists, with
// `*path` set to its bound path, newline cut ("" when unbound), or 0 for the
// heading. Fields: Num, RefCount, Protocol, Flags, Type, St, Inode, Path. One
// blank parts the inode from the path: more belong to a path bound relative to
// its binder's directory, such as " /mnt/disk/s".
unsigned long long ParseUnixSocketLine(char* line, const char** path) {
  line[strcspn(line, "\n")] = '\0';
  const char* field = line;
  for (int skip = 0; skip < 6; ++skip) {
    field += strcspn(field, " ");
    field += strspn(field, " ");
  }
  char* end = nullptr;
  const unsigned long long inode = strtoull(field, &end, 10);
  *path = *end == ' ' ? end + 1 : end;
  return end != field && (*end == ' ' || *end == '\0') ? inode : 0;
}

// Returns 1 if `path` lies strictly under one of the `count` paths that
// `mount_points` holds.
int LiesUnderAny(const char* path, const char* mount_points, int count) {
  for (; count > 0; --count, mount_points += strlen(mount_points) + 1) {
    if (LiesUnder(path, mount_points)) return 1;
  }
  return 0;
}

// Returns 1 if a socket bound at `path`, cut at its newline, may lie on a copy.
int Bound(const BoundSockets* sockets, const char* path) {
  return path[0] == '/' && (sockets->anywhere ||
                            LiesUnderAny(path, sockets->mount_points, sockets->mount_point_count));
}

// Returns 1 if `network`'s listing has been noted this sweep, whole; -1 if
// not whole; 0 if not noted.
int Noted(const BoundSockets* sockets, unsigned network) {
  if (network == sockets->network) return sockets->cut ? -1 : 1;
  for (int i = 0; i < sockets->read_count; ++i) {
    if (sockets->read[i] == network) return sockets->read_cut[i] ? -1 : 1;
  }
  return 0;
}

// Opens the listing of the network namespace of process `pid`, buffered in
// `buffer`, or returns null.
FILE* OpenListing(pid_t pid, char* buffer) {
  char path[kProcPathSize];
  return ProcPath(path, pid, "net/unix") ? OpenStream(path, buffer) : nullptr;
}

// Notes the listing of the network namespace of process `pid`, `network`, if
// the table has room for one more namespace.
void NoteListingOf(pid_t pid, unsigned network, BoundSockets* sockets) {
  char buffer[kReadSize];
  if (sockets->read_count == kMaxNetworks) return;
  const int i = sockets->read_count++;
  sockets->read[i] = network;
  sockets->read_cut[i] = 0;
  FILE* list = OpenListing(pid, buffer);
  if (list == nullptr) return;
  sockets->read_cut[i] = static_cast<unsigned char>(NoteBoundSocketsInList(list, network, sockets));
  (void)fclose(list);
}

// Returns the bound path of socket `inode` if the listing of process `pid`'s
// network namespace names it on one line alone, bound where it may lie on a
// copy; else null. For a socket the table lacks.
const char* LookUp(pid_t pid, unsigned long long inode, BoundSockets* sockets) {
  char buffer[kReadSize];
  char line[kListLineSize];
  const char* path;
  int lines = 0;
  FILE* list = OpenListing(pid, buffer);
  if (list == nullptr) return nullptr;
  while (fgets(line, sizeof(line), list) != nullptr) {
    if (ParseUnixSocketLine(line, &path) != inode) continue;
    if (++lines == 1) (void)snprintf(sockets->looked_up, sizeof(sockets->looked_up), "%s", path);
  }
  (void)fclose(list);
  return lines == 1 && Bound(sockets, sockets->looked_up) ? sockets->looked_up : nullptr;
}

}  // namespace

void StartBoundSockets(const char* mount_points, int count, int anywhere, BoundSockets* sockets) {
  sockets->mount_points = mount_points;
  sockets->mount_point_count = count;
  sockets->anywhere = anywhere;
  sockets->cut = 0;
  sockets->count = 0;
  sockets->used = 0;
  sockets->read_count = 0;
  sockets->asked = 0;
  sockets->asked_network = 0;
  // A kernel without network namespaces has the one: 0 here and for all.
  sockets->network = NamespaceInode("self", "net");
}

// Only a path that begins with '/' is judged: an abstract name begins with
// '@', and a path bound relative to its binder's working directory says
// nothing of where it lies. A bound path may hold a newline, so that what
// follows it reads as a line of its own, naming any socket: a socket that two
// lines name is not noted, and a socket that no genuine line names belongs to
// another network namespace, which BoundSocketPath() tells. A path cut at its
// newline may read as exactly the mount point ("M\n/ctl", in a sibling), and
// no socket is bound at the mount point itself, a directory in use; one cut
// that still reads "M/..." does lie under it.
int NoteBoundSocketsInList(FILE* list, unsigned network, BoundSockets* sockets) {
  char line[kListLineSize];
  const char* path;
  const int first = sockets->count;
  int cut = 0;
  while (!cut && fgets(line, sizeof(line), list) != nullptr) {
    const unsigned long long inode = ParseUnixSocketLine(line, &path);
    const size_t length = strnlen(path, kSocketPathSize - 1);
    if (inode == 0 || !Bound(sockets, path)) continue;
    cut = sockets->count == kMaxBoundSockets || sockets->used + length + 1 > sizeof(sockets->text);
    if (cut) break;
    memcpy(sockets->text + sockets->used, path, length);
    sockets->text[sockets->used + length] = '\0';
    sockets->paths[sockets->count] = static_cast<unsigned short>(sockets->used);
    sockets->networks[sockets->count] = network;
    sockets->inodes[sockets->count++] = inode;
    sockets->used += length + 1;
  }
  if (sockets->count == first) return cut;
  int lines[kMaxBoundSockets] = {};
  rewind(list);
  while (fgets(line, sizeof(line), list) != nullptr) {
    const unsigned long long inode = ParseUnixSocketLine(line, &path);
    for (int i = first; i < sockets->count; ++i) lines[i] += sockets->inodes[i] == inode;
  }
  int kept = first;
  for (int i = first; i < sockets->count; ++i) {
    if (lines[i] != 1) continue;
    sockets->inodes[kept] = sockets->inodes[i];
    sockets->networks[kept] = sockets->networks[i];
    sockets->paths[kept++] = sockets->paths[i];
  }
  sockets->count = kept;
  return cut;
}

void NoteBoundSockets(const char* mount_points, int count, int anywhere, BoundSockets* sockets) {
  char buffer[kReadSize];
  StartBoundSockets(mount_points, count, anywhere, sockets);
  FILE* list = OpenStream("/proc/net/unix", buffer);
  if (list == nullptr) return;
  sockets->cut = NoteBoundSocketsInList(list, sockets->network, sockets);
  (void)fclose(list);
}

// A socket's inode is the same in every listing, and a listing names only
// its own namespace's sockets: a line that names a socket of another is
// forged, and its holder holds nothing by it. The process's namespace is
// read once, at its first socket; its listing, the first time a process of
// it is met, so that a sweep in one network namespace reads no other.
const char* BoundSocketPath(pid_t pid, BoundSockets* sockets, const char* target) {
  if (strncmp(target, "socket:[", 8) != 0) return nullptr;
  const unsigned long long inode = strtoull(target + 8, nullptr, 10);
  if (sockets->asked != pid) {
    char process[16];
    sockets->asked = pid;
    sockets->asked_network =
        snprintf(process, sizeof(process), "%d", pid) > 0 ? NamespaceInode(process, "net") : 0;
  }
  const unsigned network = sockets->asked_network;
  if (network == 0 && sockets->network != 0) return nullptr;
  if (Noted(sockets, network) == 0) NoteListingOf(pid, network, sockets);
  for (int i = 0; i < sockets->count; ++i) {
    if (sockets->inodes[i] == inode && sockets->networks[i] == network) {
      return sockets->text + sockets->paths[i];
    }
  }
  return Noted(sockets, network) == 1 ? nullptr : LookUp(pid, inode, sockets);
}

}  // namespace busyumount
