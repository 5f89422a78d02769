// The matcher: whether a path, as /proc shows it, lies on or under the mount
// point. Paths are compared as text; nothing is resolved.
#pragma once

#include <stddef.h>

namespace busyumount {

// Returns 1 if `path` is `mount_point` or lies under it, else 0. Compares the
// strings as they are: one directory written two ways doesn't match itself.
// A mount point of fewer than two characters matches nothing.
int PathMatchesMountPoint(const char* path, const char* mount_point);
// The same, for a mount point of `length` bytes: for the hot path of a sweep.
int PathMatchesMountPointOfLength(const char* path, const char* mount_point, size_t length);

// Returns 1 if `path` lies strictly under `mount_point`, else 0.
int LiesUnder(const char* path, const char* mount_point);

}  // namespace busyumount
