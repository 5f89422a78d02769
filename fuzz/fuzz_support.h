// What the fuzz targets share: the process killer's internals, compiled into
// each target, and an independent statement of the matching rule.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <string_view>

#include "Matcher.cpp"
#include "MountNamespaces.cpp"
#include "MountTable.cpp"
#include "ProcFiles.cpp"
#include "ProcessKiller.cpp"
#include "Propagation.cpp"
#include "UnixSockets.cpp"

// The rule, said once more without the matcher's code: a mount point of two
// or more characters claims itself and whatever continues it after a '/';
// written with a trailing '/', it claims whatever begins with it.
inline bool ReferenceMatch(std::string_view path, std::string_view mount_point) {
  if (mount_point.size() < 2) return false;
  if (mount_point.back() == '/') return path.starts_with(mount_point);
  return path == mount_point ||
         (path.starts_with(mount_point) && path.substr(mount_point.size()).starts_with('/'));
}

// Splits a fuzz input at its first NUL: the mount point before it, the rest
// after it (the mount point alone when there is no NUL).
inline void SplitInput(const uint8_t* data, size_t size, std::string* mount_point,
                       std::string* rest) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  *mount_point = std::string(input.substr(0, nul));
  *rest = nul == std::string_view::npos ? std::string() : std::string(input.substr(nul + 1));
}
