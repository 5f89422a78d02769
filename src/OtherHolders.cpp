// What keeps a mount busy with no process to signal: the parsers of
// /proc/self/mountinfo, /proc/swaps and the loop devices' backing files.
// Nothing here is read unless the driver is asked to tell.
#include "OtherHolders.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

// A line of mountinfo or swaps, read in pieces when longer; only the first
// piece of a line is judged.
constexpr size_t kLineSize = 8192;

// Returns 1 if `path` lies strictly under `mount_point`, compared as text.
int LiesUnder(const char* path, const char* mount_point) {
  const size_t length = strlen(mount_point);
  if (length < 2 || strncmp(path, mount_point, length) != 0) return 0;
  return mount_point[length - 1] == '/' ? path[length] != '\0' : path[length] == '/';
}

int IsOctal(char c) {
  return c >= '0' && c <= '7';
}

// Copies the field that begins at `text` into `path` (PATH_MAX bytes),
// NUL-terminated, undoing the \ooo by which the kernel writes a blank, tab,
// newline or backslash in a path. Returns 1, or 0 if the field doesn't end
// in a blank or a newline (a piece of a longer line) or doesn't fit.
int UnescapeField(const char* text, char* path) {
  size_t length = 0;
  for (; *text != '\0' && *text != ' ' && *text != '\t' && *text != '\n'; ++text) {
    if (length + 1 >= PATH_MAX) return 0;
    if (text[0] == '\\' && IsOctal(text[1]) && IsOctal(text[2]) && IsOctal(text[3])) {
      path[length++] =
          static_cast<char>((text[1] - '0') * 64 + (text[2] - '0') * 8 + text[3] - '0');
      text += 3;
    } else {
      path[length++] = *text;
    }
  }
  path[length] = '\0';
  return *text != '\0';
}

// Tells `report` of each line of `stream` whose field number `field` (from 0)
// names a path under `mount_point`, as `hold`; returns how many.
int ReportLines(FILE* stream, int field, const char* mount_point, OtherHold hold,
                OtherHoldReport report, void* context) {
  char line[kLineSize];
  char path[PATH_MAX];
  int at_line_start = 1;
  int told = 0;
  while (fgets(line, sizeof(line), stream) != nullptr) {
    const char* text = line;
    for (int skip = 0; skip < field; ++skip) {
      text += strcspn(text, " ");
      text += strspn(text, " ");
    }
    if (at_line_start && UnescapeField(text, path) && LiesUnder(path, mount_point)) {
      report(hold, "", path, context);
      ++told;
    }
    const size_t length = strlen(line);
    at_line_start = length > 0 && line[length - 1] == '\n';
  }
  return told;
}

// Tells of the lines that `path` (a mountinfo's or swaps' file) names as
// ReportLines() does.
int ReportFile(const char* path, int field, const char* mount_point, OtherHold hold,
               OtherHoldReport report, void* context) {
  char buffer[kLineSize];
  FILE* stream = fopen(path, "re");
  if (stream == nullptr) return 0;
  // Should it fail, the stream keeps a buffer of its own.
  (void)setvbuf(stream, buffer, _IOFBF, sizeof(buffer));
  const int told = ReportLines(stream, field, mount_point, hold, report, context);
  (void)fclose(stream);
  return told;
}

// Tells `report` of each loop device in `block` (/sys/block) whose backing
// file lies under `mount_point`; returns how many. The file holds the path
// raw, and a newline after it.
int ReportLoopDevices(const char* block, const char* mount_point, OtherHoldReport report,
                      void* context) {
  DIR* devices = opendir(block);
  if (devices == nullptr) return 0;
  int told = 0;
  while (const dirent* device = readdir(devices)) {
    char path[PATH_MAX];
    const int length =
        snprintf(path, sizeof(path), "%s/%s/loop/backing_file", block, device->d_name);
    if (strncmp(device->d_name, "loop", 4) != 0 || length <= 0 ||
        static_cast<size_t>(length) >= sizeof(path)) {
      continue;
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    const ssize_t read_length = read(fd, path, sizeof(path) - 1);
    close(fd);
    if (read_length <= 0 || path[read_length - 1] != '\n') continue;
    path[read_length - 1] = '\0';
    if (LiesUnder(path, mount_point)) {
      report(kLoopDevice, device->d_name, path, context);
      ++told;
    }
  }
  closedir(devices);
  return told;
}

}  // namespace

int ReportOtherHolders(const char* mount_point, OtherHoldReport report, void* context) {
  // mountinfo: id, parent id, major:minor, root, mount point, ...; swaps: the
  // file first.
  return ReportFile("/proc/self/mountinfo", 4, mount_point, kSubmount, report, context) +
         ReportLoopDevices("/sys/block", mount_point, report, context) +
         ReportFile("/proc/swaps", 0, mount_point, kSwapFile, report, context);
}
