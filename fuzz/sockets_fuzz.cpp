// Fuzzes the noting of bound sockets. Input: the mount point, a NUL, then
// sockets split by NULs, each an inode byte and a bound path of any bytes.
// The table is written as the kernel writes /proc/net/unix, paths raw, and
// the noting is checked against the table: a noted socket of the table lies
// strictly under the mount point (an inode the table lacks comes from a
// forged line: another namespace's, which the namespace check turns away);
// a socket strictly under it, its path absolute and free of newlines, is
// noted unless a newline elsewhere precedes its inode's digits (a forged
// second line) or the listing is long enough to fill the table or its paths'
// bytes.
#include <stdio.h>

#include <algorithm>
#include <map>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string mount_point;
  std::string rest;
  SplitInput(data, size, &mount_point, &rest);
  // The kernel binds at most sun_path's 108 bytes, and inodes are unique.
  std::map<unsigned long long, std::string> table;
  for (size_t start = 0, end; start < rest.size(); start = end + 1) {
    end = std::min(rest.find('\0', start + 1), rest.size());
    table.emplace(static_cast<unsigned char>(rest[start]) + 1ull,
                  rest.substr(start + 1, std::min<size_t>(end - start - 1, 108)));
  }
  std::string listing = "Num       RefCount Protocol Flags    Type St Inode Path\n";
  for (const auto& [inode, path] : table) {
    char fields[80];
    snprintf(fields, sizeof(fields), "0000000000000000: 00000002 00000000 00010000 0001 01 %5llu",
             inode);
    listing += fields + (path.empty() ? "" : " " + path) + "\n";
  }
  FILE* list = fmemopen(listing.data(), listing.size(), "r");
  if (list == nullptr) return 0;
  BoundSockets sockets;
  StartBoundSockets(mount_point.c_str(), 1, 0, &sockets);
  NoteBoundSocketsInList(list, 0, &sockets);
  fclose(list);

  size_t bytes = 0;
  for (const auto& [inode, path] : table) bytes += path.size() + 1;
  const bool may_fill = std::count(listing.begin(), listing.end(), '\n') > kMaxBoundSockets ||
                        bytes > sizeof(sockets.text);
  for (const auto& [inode, path] : table) {
    const bool noted = std::count(sockets.inodes, sockets.inodes + sockets.count, inode) > 0;
    const bool under = ReferenceMatch(path, mount_point) && path.size() > mount_point.size();
    bool may_be_forged = false;
    for (const auto& [other, other_path] : table) {
      const size_t newline = other_path.find('\n');
      may_be_forged |= newline != std::string::npos &&
                       other_path.find(std::to_string(inode), newline) != std::string::npos;
    }
    if (noted && !under) abort();
    if (!noted && under && path.starts_with('/') && path.find('\n') == std::string::npos &&
        !may_be_forged && !may_fill) {
      abort();
    }
  }
  return 0;
}
