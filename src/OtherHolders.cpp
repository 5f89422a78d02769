// What keeps a mount busy with no process to signal: the mounts under it in
// the mount table, the swap files under it in /proc/swaps and the loop devices
// backed by a file under it. Nothing here is read unless the driver is asked
// to tell.
#include "OtherHolders.h"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "Matcher.h"
#include "MountTable.h"
#include "ProcFiles.h"
#include "Propagation.h"

using namespace busyumount;

namespace {

// Tells `report` of each mount under the mount at `mount_point` that the
// mount table at `path` lists; returns how many. A mount on one stacked
// below the top one there keeps nothing busy. Past the limits of the rule's
// records, every mount under the path is told.
int ReportSubmounts(const char* path, const char* mount_point, OtherHoldReport report,
                    void* context) {
  Table table;
  Taken taken;
  int told = 0;
  if (!OpenTable(path, &table)) return 0;
  const int read = ReadTakenMounts(&table, mount_point, &taken);
  for (int i = 0; read > 0 && i < taken.count; ++i) {
    size_t length;
    // The mount point's own mount, and the one a plain directory lies on.
    if (taken.mounts[i].mount_point < 0) continue;
    report(kSubmount, "", TakenMountPoint(&taken, i, mount_point, &length), context);
    ++told;
  }
  Mount mount;
  RewindTable(table.fd, &table);
  while (read < 0 && ReadMount(&table, &mount)) {
    if (LiesUnder(mount.mount_point, mount_point)) {
      report(kSubmount, "", mount.mount_point, context);
      ++told;
    }
  }
  close(table.fd);
  return told;
}

// Tells `report` of each swap file under `mount_point` that `stream` lists,
// as /proc/swaps does; returns how many. A line longer than the buffer is
// judged by its first piece only.
int ReportSwapLines(FILE* stream, const char* mount_point, OtherHoldReport report, void* context) {
  char line[kReadSize];
  char path[kPathSize];
  int told = 0;
  int at_line_start = 1;
  while (fgets(line, sizeof(line), stream) != nullptr) {
    if (at_line_start && UnescapeField(line, path) && LiesUnder(path, mount_point)) {
      report(kSwapFile, "", path, context);
      ++told;
    }
    const size_t length = strlen(line);
    at_line_start = length > 0 && line[length - 1] == '\n';
  }
  return told;
}

// Tells of the swap files that /proc/swaps lists as ReportSwapLines() does.
int ReportSwapFiles(const char* mount_point, OtherHoldReport report, void* context) {
  char buffer[kReadSize];
  FILE* stream = OpenStream("/proc/swaps", buffer);
  if (stream == nullptr) return 0;
  const int told = ReportSwapLines(stream, mount_point, report, context);
  (void)fclose(stream);
  return told;
}

// Tells `report` of each loop device in `block` (/sys/block) whose backing
// file lies under `mount_point`; returns how many. The file holds the path
// raw, and a newline after it.
int ReportLoopDevices(const char* block, const char* mount_point, OtherHoldReport report,
                      void* context) {
  Directory devices;
  if (!OpenDirectory(block, &devices)) return 0;
  int told = 0;
  while (const char* device = ReadDirectory(&devices)) {
    char path[kPathSize];
    const int length = snprintf(path, sizeof(path), "%s/%s/loop/backing_file", block, device);
    if (strncmp(device, "loop", 4) != 0 || length <= 0 ||
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
      report(kLoopDevice, device, path, context);
      ++told;
    }
  }
  CloseDirectory(&devices);
  return told;
}

}  // namespace

int ReportOtherHolders(const char* mount_point, OtherHoldReport report, void* context) {
  return ReportSubmounts("/proc/self/mountinfo", mount_point, report, context) +
         ReportLoopDevices("/sys/block", mount_point, report, context) +
         ReportSwapFiles(mount_point, report, context);
}
