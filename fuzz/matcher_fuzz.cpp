// Fuzzes the matcher against the rule said independently. Input: the mount
// point, a NUL, then the path.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string mount_point;
  std::string path;
  SplitInput(data, size, &mount_point, &path);
  // Both are C strings to the matcher: a NUL in the path ends it.
  path = std::string(path.c_str());
  if (PathMatchesMountPoint(path.c_str(), mount_point.c_str()) !=
      ReferenceMatch(path, mount_point)) {
    abort();
  }
  return 0;
}
