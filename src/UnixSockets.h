// The Unix sockets bound under the mount point, as /proc/net/unix lists them:
// a descriptor shows such a socket as "socket:[inode]" alone, and the bound
// path is in that listing only.
#pragma once

#include <stdio.h>
#include <sys/types.h>
#include <sys/un.h>

#include "ProcFiles.h"

namespace busyumount {

// Unix sockets bound under the mount point that one sweep can note.
constexpr int kMaxBoundSockets = 64;
// A socket's bound path, which the kernel keeps to sun_path's size.
constexpr size_t kSocketPathSize = sizeof(sockaddr_un::sun_path) + 1;

// The bytes of their paths, one after another, each NUL-terminated.
constexpr size_t kBoundPathsSize = 2048;

// The sockets noted, by inode, with their paths, and the link of the
// sweeper's network namespace, whose sockets alone the listing shows.
struct BoundSockets {
  int count;
  unsigned long long inodes[kMaxBoundSockets];
  unsigned short paths[kMaxBoundSockets];  // offsets in `text`
  size_t used;
  char text[kBoundPathsSize];
  char network[kProcPathSize];  // "net:[<inode>]", or "" if there is one
};

// Notes in `sockets` the sockets that `list`, read as /proc/net/unix, shows
// bound strictly under one of the `count` paths that `mount_points` holds one
// after another, each NUL-terminated: the first kMaxBoundSockets of them, or
// as many as the paths' bytes hold.
void NoteBoundSocketsInList(FILE* list, const char* mount_points, int count, BoundSockets* sockets);

// Notes the sockets bound under the paths, once a sweep, and the sweeper's
// network namespace when there are any.
void NoteBoundSockets(const char* mount_points, int count, BoundSockets* sockets);

// Returns the bound path of the noted socket that `target`, a descriptor's
// link target, names ("socket:[<inode>]"), when process `pid` shares the
// sweeper's network namespace; else null.
const char* BoundSocketPath(pid_t pid, const BoundSockets* sockets, const char* target);

}  // namespace busyumount
