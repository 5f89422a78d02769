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
constexpr size_t kListLineSize = kPathSize + 100;

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

}  // namespace

// Only a path that begins with '/' is judged: an abstract name begins with
// '@', and a path bound relative to its binder's working directory says
// nothing of where it lies. A bound path may hold a newline, so that what
// follows it reads as a line of its own, naming any socket: a socket that two
// lines name is not noted, and a socket that no genuine line names belongs to
// another network namespace, which BoundSocketPath() tells. A path cut at its
// newline may read as exactly the mount point ("M\n/ctl", in a sibling), and
// no socket is bound at the mount point itself, a directory in use; one cut
// that still reads "M/..." does lie under it.
void NoteBoundSocketsInList(FILE* list, const char* mount_points, int count,
                            BoundSockets* sockets) {
  char line[kListLineSize];
  const char* path;
  sockets->count = 0;
  sockets->used = 0;
  while (sockets->count < kMaxBoundSockets && fgets(line, sizeof(line), list) != nullptr) {
    const unsigned long long inode = ParseUnixSocketLine(line, &path);
    const size_t length = strnlen(path, kSocketPathSize - 1);
    if (inode == 0 || path[0] != '/' || !LiesUnderAny(path, mount_points, count)) continue;
    if (sockets->used + length + 1 > sizeof(sockets->text)) break;
    memcpy(sockets->text + sockets->used, path, length);
    sockets->text[sockets->used + length] = '\0';
    sockets->paths[sockets->count] = static_cast<unsigned short>(sockets->used);
    sockets->inodes[sockets->count++] = inode;
    sockets->used += length + 1;
  }
  if (sockets->count == 0) return;
  int lines[kMaxBoundSockets] = {};
  rewind(list);
  while (fgets(line, sizeof(line), list) != nullptr) {
    const unsigned long long inode = ParseUnixSocketLine(line, &path);
    for (int i = 0; i < sockets->count; ++i) lines[i] += sockets->inodes[i] == inode;
  }
  int kept = 0;
  for (int i = 0; i < sockets->count; ++i) {
    if (lines[i] != 1) continue;
    sockets->inodes[kept] = sockets->inodes[i];
    sockets->paths[kept++] = sockets->paths[i];
  }
  sockets->count = kept;
}

void NoteBoundSockets(const char* mount_points, int count, BoundSockets* sockets) {
  char buffer[kReadSize];
  sockets->count = 0;
  FILE* list = OpenStream("/proc/net/unix", buffer);
  if (list == nullptr) return;
  NoteBoundSocketsInList(list, mount_points, count, sockets);
  (void)fclose(list);
  // A kernel without network namespaces has the one, which everybody shares.
  const ssize_t length = sockets->count > 0 ? readlink("/proc/self/ns/net", sockets->network,
                                                       sizeof(sockets->network) - 1)
                                            : -1;
  sockets->network[length > 0 ? length : 0] = '\0';
}

// The listing shows our namespace's sockets alone: a line that names a socket
// of another is forged, and its holders hold nothing here.
const char* BoundSocketPath(pid_t pid, const BoundSockets* sockets, const char* target) {
  if (sockets->count == 0 || strncmp(target, "socket:[", 8) != 0) return nullptr;
  const unsigned long long inode = strtoull(target + 8, nullptr, 10);
  int noted = 0;
  while (noted < sockets->count && sockets->inodes[noted] != inode) ++noted;
  char network[kProcPathSize];
  if (noted == sockets->count ||
      (sockets->network[0] != '\0' && (!ReadProcessLink(pid, "ns/net", network, sizeof(network)) ||
                                       strcmp(network, sockets->network) != 0))) {
    return nullptr;
  }
  return sockets->text + sockets->paths[noted];
}

}  // namespace busyumount
