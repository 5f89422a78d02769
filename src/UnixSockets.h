// The Unix sockets bound under the mount point, as /proc/net/unix lists them:
// a descriptor shows such a socket as "socket:[inode]" alone, and the bound
// path is in that listing only.
#pragma once

#include <stdio.h>
#include <sys/types.h>
#include <sys/un.h>

#include "ProcFiles.h"

namespace busyumount {

// Unix sockets bound under the mount point that one sweep can note; a socket
// that a full table lacks is looked for in its listing again.
constexpr int kMaxBoundSockets = TableSize(64, 4);
// A socket's bound path, which the kernel keeps to sun_path's size.
constexpr size_t kSocketPathSize = sizeof(sockaddr_un::sun_path) + 1;

// The bytes of their paths, one after another, each NUL-terminated.
constexpr size_t kBoundPathsSize = 2048;
// Network namespaces besides the sweeper's whose listings one sweep notes.
constexpr int kMaxNetworks = TableSize(16, 2);

// The sockets noted, by inode, each with its path and the network namespace
// whose listing named it: a listing shows its own namespace's sockets alone.
struct BoundSockets {
  const char* mount_points;  // the paths they lie under, one after another
  int mount_point_count;
  int anywhere;  // paths were left out: a socket bound anywhere may lie on a copy
  int count;
  unsigned long long inodes[kMaxBoundSockets];
  unsigned networks[kMaxBoundSockets];     // as /proc/<pid>/ns/net names them
  unsigned short paths[kMaxBoundSockets];  // offsets in `text`
  size_t used;
  char text[kBoundPathsSize];
  unsigned network;  // the sweeper's, or 0 on a kernel with one alone
  int cut;           // its listing had more than the table holds
  int read_count;    // other namespaces whose listings were read
  unsigned read[kMaxNetworks];
  unsigned char read_cut[kMaxNetworks];
  pid_t asked;  // the process asked about last, and its namespace
  unsigned asked_network;
  char looked_up[kSocketPathSize];  // the path of a socket looked for in its listing
};

// Starts `sockets` for sockets bound strictly under one of the `count` paths
// that `mount_points` holds one after another, each NUL-terminated; with
// `anywhere`, any bound path may lie on a copy.
void StartBoundSockets(const char* mount_points, int count, int anywhere, BoundSockets* sockets);

// Notes in `sockets` the sockets that `list`, read as /proc/net/unix, shows
// bound under the paths, as sockets of network namespace `network`: as many
// as the table and the paths' bytes hold. Returns 1 if some were left out.
int NoteBoundSocketsInList(FILE* list, unsigned network, BoundSockets* sockets);

// Notes the sockets bound under the paths in the sweeper's network
// namespace, once a sweep.
void NoteBoundSockets(const char* mount_points, int count, int anywhere, BoundSockets* sockets);

// Returns the bound path of the socket that `target`, a descriptor's link
// target, names ("socket:[<inode>]"), if one of process `pid`'s network
// namespace is bound under the paths; else null. The listing of another
// namespace than the sweeper's is read through `pid`, once a sweep; a
// listing the table could not hold, or one of a namespace beyond those it
// notes, is read again for the socket.
const char* BoundSocketPath(pid_t pid, BoundSockets* sockets, const char* target);

}  // namespace busyumount
