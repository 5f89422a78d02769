// Fuzzes the noting of bound sockets from /proc/net/unix. Input: the mount
// point, a NUL, then sockets separated by NULs, each an inode byte and the
// bound path's bytes (none: unbound). The table is written as the kernel
// writes the listing, paths raw, newlines and all, and the noting is checked
// against the table, not against a second parser:
// - a noted inode of the table is a socket whose real path lies strictly
//   under the mount point (an inode the table lacks comes from a forged line
//   and stands for another namespace's socket, which the descriptor's
//   namespace check turns away);
// - a socket whose real path begins with '/', lies strictly under the mount
//   point and holds no newline is noted, unless a newline in another path is
//   followed by its inode's digits (a forged second line may name it), or the
//   listing has lines enough to reach the table's limit.
#include <stdio.h>

#include <algorithm>
#include <vector>

#include "fuzz_support.h"

namespace {

struct Socket {
  unsigned long long inode;
  std::string path;
};

// The kernel binds at most sizeof(sun_path) bytes, and inodes are unique.
std::vector<Socket> DecodeTable(const std::string& text) {
  std::vector<Socket> table;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\0', start + 1), text.size());
    const Socket socket{static_cast<unsigned char>(text[start]) + 1ull,
                        text.substr(start + 1, std::min<size_t>(end - start - 1, 108))};
    bool unique = true;
    for (const Socket& other : table) unique = unique && other.inode != socket.inode;
    if (unique) table.push_back(socket);
    start = end + 1;
  }
  return table;
}

bool StrictlyUnder(const std::string& path, const std::string& mount_point) {
  return ReferenceMatch(path, mount_point) && path.size() > mount_point.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string mount_point;
  std::string rest;
  SplitInput(data, size, &mount_point, &rest);
  const std::vector<Socket> table = DecodeTable(rest);
  std::string listing = "Num       RefCount Protocol Flags    Type St Inode Path\n";
  for (const Socket& socket : table) {
    char fields[80];
    snprintf(fields, sizeof(fields), "0000000000000000: 00000002 00000000 00010000 0001 01 %5llu",
             socket.inode);
    listing += fields + (socket.path.empty() ? "" : " " + socket.path) + "\n";
  }
  FILE* list = fmemopen(listing.data(), listing.size(), "r");
  if (list == nullptr) return 0;
  BoundSockets sockets;
  NoteBoundSocketsInList(list, mount_point.c_str(), &sockets);
  fclose(list);

  const size_t lines = std::count(listing.begin(), listing.end(), '\n');
  for (const Socket& socket : table) {
    bool noted = false;
    for (int i = 0; i < sockets.count; ++i) noted = noted || sockets.inodes[i] == socket.inode;
    if (noted && !StrictlyUnder(socket.path, mount_point)) abort();
    bool may_be_forged = false;
    for (const Socket& other : table) {
      const size_t newline = other.path.find('\n');
      may_be_forged = may_be_forged ||
                      (newline != std::string::npos &&
                       other.path.find(std::to_string(socket.inode), newline) != std::string::npos);
    }
    if (!noted && socket.path.starts_with('/') && StrictlyUnder(socket.path, mount_point) &&
        socket.path.find('\n') == std::string::npos && !may_be_forged &&
        lines <= static_cast<size_t>(kMaxBoundSockets)) {
      abort();
    }
  }
  return 0;
}
