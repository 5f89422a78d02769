// Fuzzes the reading of a ring's fdinfo: any bytes, any length. Input: the
// mount point, a NUL, then the fdinfo's text. The reference reads the text in
// the pieces fgets() gives, finds "UserFiles:" and then believes a list of
// "<index>: <path>" lines only while every index rises within the count and
// every name is a whole path, escaped as the kernel escapes it; a list that
// tells of files and names none is no list. The tables are not read: the path
// decides. Where the text holds no NUL the probe must agree with it exactly.
#include <limits.h>
#include <stdio.h>
#include <unistd.h>

#include "fuzz_support.h"

namespace {

// Returns the field at `text` unescaped into `path` if a blank, tab or
// newline ends it within a path's length.
bool ReferenceField(const std::string& text, std::string* path) {
  path->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n') return true;
    if (path->size() + 1 >= busyumount::kPathSize) return false;
    const auto octal = [&](size_t k) {
      return k < text.size() && text[k] >= '0' && text[k] <= '7';
    };
    if (c == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      *path +=
          static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + text[i + 3] - '0');
      i += 3;
    } else {
      *path += c;
    }
  }
  return false;
}

// 1 for a hit, -1 for no list, 2 for a list that places nothing, else 0.
int ReferenceRing(const std::string& text, const std::string& mount_point) {
  long files = -1, last = -1;
  bool placed = true;
  for (size_t start = 0; start < text.size();) {
    const size_t newline = text.find('\n', start);
    size_t end = newline == std::string::npos ? text.size() : newline + 1;
    end = std::min(end, start + kRingLineSize - 1);
    const std::string piece(text.substr(start, end - start).c_str());
    start = end;
    if (files < 0) {
      if (piece.starts_with("UserFiles:")) files = strtol(piece.c_str() + 10, nullptr, 10);
      continue;
    }
    char* after = nullptr;
    const long index = strtol(piece.c_str(), &after, 10);
    const size_t at = static_cast<size_t>(after - piece.c_str());
    if (at == 0 || at >= piece.size() || piece[at] != ':') break;
    std::string path;
    placed = placed && index > last && index < files && piece.size() > at + 2 &&
             piece[at + 1] == ' ' && piece[at + 2] == '/' &&
             ReferenceField(piece.substr(at + 2), &path);
    last = index;
    if (placed && ReferenceMatch(path, mount_point)) return 1;
  }
  if (files < 0 || (files > 0 && last < 0)) return -1;
  return placed ? 0 : 2;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string mount_point;
  std::string text;
  SplitInput(data, size, &mount_point, &text);
  // Longer than a path: the tool is never given one.
  if (mount_point.size() >= busyumount::kPathSize) return 0;
  FILE* info = fmemopen(text.data(), text.size(), "r");
  if (info == nullptr) return 0;  // fmemopen refuses an empty buffer
  static BusyMounts mounts;
  StartBusyMounts(mount_point.c_str(), nullptr, &mounts);
  Sweep sweep;
  sweep.mounts = &mounts;
  static Holding found;
  found.unjudged = kJudged;
  const int hit = CheckRingStream(info, getpid(), 7, &sweep, &found);
  fclose(info);
  const int got = hit != 0 ? hit : found.unjudged == kUnplacedRing ? 2 : 0;
  const bool has_nul = text.find('\0') != std::string::npos;
  if (!has_nul && got != ReferenceRing(text, mount_point)) abort();
  if (has_nul && got == 1 && ReferenceRing(text, mount_point) != 1) abort();
  return 0;
}
