// What keeps a mount busy with no process to signal, besides loop devices:
// the mounts under it in the mount table, the swap files under it in
// /proc/swaps and the binfmt_misc interpreters the kernel keeps open from
// under it. Nothing here is read unless the driver is asked to tell.
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

// Tells `report` of each binfmt_misc entry in `directory`
// (/proc/sys/fs/binfmt_misc) whose interpreter, which the kernel opened when
// it was registered with the F flag, lies under `mount_point`; returns how
// many.
int ReportInterpreters(const char* directory, const char* mount_point, OtherHoldReport report,
                       void* context) {
  Directory entries;
  if (!OpenDirectory(directory, &entries)) return 0;
  int told = 0;
  while (const char* name = ReadDirectory(&entries)) {
    char buffer[kReadSize];
    char line[kPathSize + 16];
    char interpreter[kPathSize] = "";
    int opened = 0;
    const int length = snprintf(line, sizeof(line), "%s/%s", directory, name);
    FILE* stream = name[0] == '.' || strcmp(name, "register") == 0 ||
                           strcmp(name, "status") == 0 || length <= 0 ||
                           static_cast<size_t>(length) >= sizeof(line)
                       ? nullptr
                       : OpenStream(line, buffer);
    while (stream != nullptr && fgets(line, sizeof(line), stream) != nullptr) {
      const size_t end = strcspn(line, "\n");
      line[end] = '\0';
      if (strncmp(line, "interpreter ", 12) == 0 && end - 12 < sizeof(interpreter)) {
        memcpy(interpreter, line + 12, end - 11);
      } else if (strncmp(line, "flags: ", 7) == 0) {
        opened = strchr(line + 7, 'F') != nullptr;
      }
    }
    if (stream != nullptr) (void)fclose(stream);
    if (opened && LiesUnder(interpreter, mount_point)) {
      report(kInterpreter, name, interpreter, context);
      ++told;
    }
  }
  CloseDirectory(&entries);
  return told;
}

}  // namespace

int ReportOtherHolders(const char* mount_point, OtherHoldReport report, void* context) {
  return ReportSubmounts("/proc/self/mountinfo", mount_point, report, context) +
         ReportSwapFiles(mount_point, report, context) +
         ReportInterpreters("/proc/sys/fs/binfmt_misc", mount_point, report, context);
}
