// The matcher, for the sweep, the mount tables and the other holders alike.
#include "Matcher.h"

#include <string.h>

namespace busyumount {

int PathMatchesMountPoint(const char* path, const char* mount_point) {
  return PathMatchesMountPointOfLength(path, mount_point, strlen(mount_point));
}

int PathMatchesMountPointOfLength(const char* path, const char* mount_point, size_t length) {
  // "/" and "" would match everything.
  if (length < 2) return 0;
  if (strncmp(path, mount_point, length) != 0) return 0;
  if (mount_point[length - 1] == '/') return 1;
  // Without this boundary "/mnt/disk" would claim "/mnt/disk2".
  return path[length] == '\0' || path[length] == '/';
}

int LiesUnder(const char* path, const char* mount_point) {
  return PathMatchesMountPoint(path, mount_point) && path[strlen(mount_point)] != '\0';
}

}  // namespace busyumount
