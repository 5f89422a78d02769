// Fuzzes the handling of a memory map: any bytes, any length, with or without
// newlines, lines longer than the line buffer. Input: the mount point, a NUL,
// then the map's text.
//
// The reference reads the text in the same pieces as fgets() would, judges
// only a piece that starts a line and names a file, and looks at it up to its
// first NUL. Where
// the text holds no NUL the probe must agree with it exactly. A NUL can only
// hide a piece's newline from the probe, which then judges less: so with NULs
// the probe must never claim a hit the reference doesn't.
#include <stdio.h>
#include <unistd.h>

#include "fuzz_support.h"

namespace {

bool ReferenceMapsHit(const std::string& text, const std::string& mount_point) {
  bool at_line_start = true;
  size_t start = 0;
  while (start < text.size()) {
    const size_t newline = text.find('\n', start);
    size_t end = newline == std::string::npos ? text.size() : newline + 1;
    end = std::min(end, start + kMapsLineSize - 1);
    const std::string piece = text.substr(start, end - start);
    const std::string_view seen(piece.c_str());
    // A file's path begins the name; a name that begins with '[' is the kernel's.
    const size_t name = seen.find_first_of("/[");
    if (at_line_start && name != std::string_view::npos && seen[name] == '/' &&
        ReferenceMatch(seen.substr(name), mount_point)) {
      return true;
    }
    at_line_start = piece.back() == '\n';
    start = end;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string mount_point;
  std::string text;
  SplitInput(data, size, &mount_point, &text);
  FILE* maps = fmemopen(text.data(), text.size(), "r");
  if (maps == nullptr) return 0;  // fmemopen refuses an empty buffer
  // Tables not read: the path decides.
  static BusyMounts mounts;
  StartBusyMounts(mount_point.c_str(), 0, &mounts);
  Sweep sweep;
  sweep.mounts = &mounts;
  Holding found;
  const bool hit = CheckMapsStream(maps, getpid(), &sweep, &found) == 1;
  fclose(maps);
  const bool expected = ReferenceMapsHit(text, mount_point);
  const bool has_nul = text.find('\0') != std::string::npos;
  if (has_nul ? hit && !expected : hit != expected) abort();
  return 0;
}
