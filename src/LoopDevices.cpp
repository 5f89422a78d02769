// The loop devices that an unmount of the tree takes down before the mount:
// those whose backing file lies on a mount that the unmount takes, and those
// on their mounts, as /sys/block/loop<n> and LOOP_GET_STATUS64 tell; and why
// any of them is left alone. Nothing here changes anything.
#include <fcntl.h>
#include <linux/loop.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "Matcher.h"
#include "MountNamespaces.h"
#include "MountTable.h"
#include "ProcFiles.h"
#include "ProcessKiller.h"

namespace busyumount {
namespace {

// Loop devices, the mount's and those on their mounts, that one chain holds;
// any beyond are met at the next call.
constexpr int kMaxChained = 16;

// One loop device, attached.
struct Loop {
  int number;
  unsigned major, minor;
  unsigned long long device, inode;  // of its backing file, 0 if unread
  int autoclear;
  char node[kProcPathSize];  // "" if none is found
  char backing[kPathSize];
  char why[128];              // why it is left alone, or ""
  unsigned elsewhere_ns;      // another mount namespace that mounts it, or 0
  char elsewhere[kPathSize];  // where that one mounts it first
};

// Reads /sys/block/loop<number>/<name> into `text` (`size` bytes), its
// newline cut: a path is there raw, and a newline after it. Returns 1, or 0
// if it can't be read.
int ReadLoopFile(int number, const char* name, char* text, size_t size) {
  char path[kProcPathSize];
  const int length = snprintf(path, sizeof(path), "/sys/block/loop%d/%s", number, name);
  const int fd = length > 0 && static_cast<size_t>(length) < sizeof(path)
                     ? open(path, O_RDONLY | O_CLOEXEC)
                     : -1;
  if (fd < 0) return 0;
  const ssize_t read_length = read(fd, text, size - 1);
  close(fd);
  if (read_length <= 0 || text[read_length - 1] != '\n') return 0;
  text[read_length - 1] = '\0';
  return 1;
}

// Reads loop device `number` into `loop`; returns 1, or 0 if it is not
// attached. Its node is where Linux or Android puts it, as its numbers
// confirm.
int ReadLoop(int number, Loop* loop) {
  char numbers[32], *end = numbers;
  if (!ReadLoopFile(number, "loop/backing_file", loop->backing, sizeof(loop->backing)) ||
      !ReadLoopFile(number, "dev", numbers, sizeof(numbers))) {
    return 0;
  }
  loop->major = static_cast<unsigned>(strtoul(numbers, &end, 10));
  loop->minor = *end == ':' ? static_cast<unsigned>(strtoul(end + 1, &end, 10)) : 0;
  if (end == numbers || *end != '\0') return 0;
  loop->number = number;
  loop->device = loop->inode = 0;
  loop->autoclear = 0;
  loop->why[0] = '\0';
  static constexpr const char* kNodes[] = {"/dev/loop%d", "/dev/block/loop%d"};
  for (const char* format : kNodes) {
    struct stat node;
    (void)snprintf(loop->node, sizeof(loop->node), format, number);
    if (stat(loop->node, &node) == 0 && S_ISBLK(node.st_mode) &&
        node.st_rdev == makedev(loop->major, loop->minor)) {
      break;
    }
    loop->node[0] = '\0';
  }
  loop_info64 info;
  const int fd = loop->node[0] != '\0' ? open(loop->node, O_RDONLY | O_CLOEXEC) : -1;
  if (fd >= 0 && ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
    loop->device = info.lo_device;
    loop->inode = info.lo_inode;
    loop->autoclear = (info.lo_flags & LO_FLAGS_AUTOCLEAR) != 0;
  } else {
    (void)snprintf(loop->why, sizeof(loop->why), "its device can't be opened");
  }
  if (fd >= 0) close(fd);
  return 1;
}

// Returns the number of links to `path` if it is the file whose device and
// inode `loop` tells, else 0.
unsigned IsBackingFile(const Loop& loop, const char* path) {
  struct stat file;
  return stat(path, &file) == 0 && file.st_dev == loop.device && file.st_ino == loop.inode
             ? static_cast<unsigned>(file.st_nlink)
             : 0;
}

// Returns 1 if the sweeper's table shows a mount of device major:minor that
// `path` lies under, or with a null `path`, any mount of it.
int MountedHere(unsigned major, unsigned minor, const char* path) {
  Table table;
  Mount mount;
  int found = 0;
  if (!OpenTable("/proc/self/mountinfo", &table)) return 0;
  while (!found && ReadMountStart(&table, &mount)) {
    if (mount.major != major || mount.minor != minor) {
      SkipLine(&table);
      continue;
    }
    found = ReadMountRest(&table, &mount) &&
            (path == nullptr || PathMatchesMountPoint(path, mount.mount_point));
  }
  close(table.fd);
  return found;
}

// Returns 1 if the backing file of `loop` lies on a mount that the unmount
// takes: under the mount point of a taken mount of its device (a local one
// confirmed by the file's inode; a network one's server may never answer),
// or under the path of a copy of one that counts. Writes into `file`
// (kPathSize bytes) its path in its file system where that is the only one
// it has, else "".
int OnTakenMount(const BusyMounts* b, const Loop& loop, char* file) {
  const unsigned major = major(loop.device), minor = minor(loop.device);
  file[0] = '\0';
  for (int i = 0; i < b->taken.count; ++i) {
    const TakenMount& t = b->taken.mounts[i];
    size_t length;
    const char* at = TakenMountPoint(&b->taken, i, b->mount_point, &length);
    if (t.major != major || t.minor != minor ||
        !PathMatchesMountPointOfLength(loop.backing, at, length)) {
      continue;
    }
    const unsigned links = t.network ? 0 : IsBackingFile(loop, loop.backing);
    if (links == 1) {
      const char* root = b->taken.text + t.root;
      const char* rest = loop.backing + (length > 1 ? length : 0);
      const int written = snprintf(file, kPathSize, "%s%s", strcmp(root, "/") == 0 ? "" : root,
                                   *rest != '\0' || strcmp(root, "/") != 0 ? rest : "/");
      if (written < 0 || static_cast<size_t>(written) >= kPathSize) file[0] = '\0';
    }
    if (t.network || links > 0) return 1;
  }
  for (int i = 0; i < b->copies.count; ++i) {
    const Copy& copy = b->copies.copies[i];
    const TakenMount& t = b->taken.mounts[copy.taken];
    if (Counts(copy) && !copy.replaced && t.major == major && t.minor == minor &&
        PathMatchesMountPoint(loop.backing, PathAt(&b->paths, copy.path))) {
      return 1;
    }
  }
  return 0;
}

// Notes in `loop->elsewhere` a mount of it in another namespace, and in
// `loop->why` what keeps it that an unmount doesn't free: a
// device-mapper or md target on it, swap on it, mounts of it in another
// namespace alone, or a mount its file may lie on that the unmount doesn't
// take. `first` says whether its file lies on a taken mount, not on a
// chained loop device's mount; `file` is then its path in its file system,
// or "" if another path may show it.
void NoteWhy(BusyMounts* b, int first, const char* file, Loop* loop) {
  char path[kProcPathSize];
  Directory holders;
  unsigned ns = 0;
  loop->elsewhere_ns =
      OtherMountOf(b, loop->major, loop->minor, nullptr, nullptr, &ns, loop->elsewhere) == 1 ? ns
                                                                                             : 0;
  if (loop->why[0] != '\0') return;
  (void)snprintf(path, sizeof(path), "/sys/block/loop%d/holders", loop->number);
  if (OpenDirectory(path, &holders)) {
    while (const char* name = ReadDirectory(&holders)) {
      if (name[0] != '.') (void)snprintf(loop->why, sizeof(loop->why), "held by %s", name);
    }
    CloseDirectory(&holders);
  }
  char buffer[kReadSize];
  char line[kPathSize + 64];
  FILE* swaps = loop->why[0] == '\0' ? OpenStream("/proc/swaps", buffer) : nullptr;
  while (swaps != nullptr && fgets(line, sizeof(line), swaps) != nullptr) {
    if (UnescapeField(line, path) && strcmp(path, loop->node) == 0) {
      (void)snprintf(loop->why, sizeof(loop->why), "used for swap");
    }
  }
  if (swaps != nullptr) (void)fclose(swaps);
  if (loop->why[0] == '\0' && loop->elsewhere_ns != 0 &&
      !MountedHere(loop->major, loop->minor, nullptr)) {
    (void)snprintf(loop->why, sizeof(loop->why), "mounted in mnt:[%u] alone", loop->elsewhere_ns);
  }
  if (loop->why[0] != '\0' || !first) return;
  const int other = OtherMountOf(b, major(loop->device), minor(loop->device), loop->backing,
                                 file[0] != '\0' ? file : nullptr, &ns, nullptr);
  if (other > 0) {
    (void)snprintf(loop->why, sizeof(loop->why),
                   "its file may lie on a mount in mnt:[%u] that the unmount doesn't take", ns);
  } else if (other < 0) {
    (void)snprintf(loop->why, sizeof(loop->why), "its file's mount can't be told");
  }
}

// Tells `report` of each loop device whose backing file lies on a mount that
// the unmount of the mount point of `b`, which ReadBusyMounts() read, takes,
// or on a mount of such a loop device in the sweeper's namespace, those on
// mounts of others first; returns how many, or -1 if /sys/block can't be read.
int EachLoopDevice(BusyMounts* b, BusyumountLoopReport report, void* context) {
  // The chain: each loop device with the one whose mount holds its file, or
  // -1 for the mount's own.
  int numbers[kMaxChained], on[kMaxChained], count = 0;
  unsigned majors[kMaxChained], minors[kMaxChained];
  Loop loop;
  char file[kPathSize];
  for (int changed = 1; changed;) {
    Directory block;
    if (!OpenDirectory("/sys/block", &block)) return -1;
    changed = 0;
    while (const char* name = ReadDirectory(&block)) {
      const int number = strncmp(name, "loop", 4) == 0 ? get_pid(name + 4) : -1;
      int known = number < 0;
      for (int i = 0; i < count; ++i) known |= numbers[i] == number;
      if (known || count == kMaxChained || !ReadLoop(number, &loop)) continue;
      int below = OnTakenMount(b, loop, file) ? -1 : kMaxChained;
      for (int i = 0; below == kMaxChained && i < count; ++i) {
        if (loop.device == makedev(majors[i], minors[i]) &&
            MountedHere(majors[i], minors[i], loop.backing) && IsBackingFile(loop, loop.backing)) {
          below = i;
        }
      }
      if (below == kMaxChained) continue;
      numbers[count] = number;
      on[count] = below;
      majors[count] = loop.major;
      minors[count++] = loop.minor;
      changed = 1;
    }
    CloseDirectory(&block);
  }
  // Those on the mounts of others first: a device joins the chain after the
  // one whose mount holds its file.
  int told = 0;
  for (int i = count - 1; i >= 0; --i) {
    if (!ReadLoop(numbers[i], &loop)) continue;
    if (on[i] < 0) (void)OnTakenMount(b, loop, file);
    NoteWhy(b, on[i] < 0, file, &loop);
    const BusyumountLoopDevice device = {
        loop.node,         loop.major,
        loop.minor,        loop.backing,
        loop.autoclear,    loop.why[0] != '\0' ? loop.why : nullptr,
        loop.elsewhere_ns, loop.elsewhere_ns != 0 ? loop.elsewhere : nullptr};
    report(&device, context);
    ++told;
  }
  return told;
}

}  // namespace
}  // namespace busyumount

int ReportLoopDevices(const char* mount_point, BusyumountLoopReport report, void* context) {
  busyumount::BusyMounts mounts;
  busyumount::StartBusyMounts(mount_point, nullptr, &mounts);
  busyumount::ReadBusyMounts(&mounts);
  const int told = busyumount::EachLoopDevice(&mounts, report, context);
  busyumount::CloseBusyMounts(&mounts);
  return told;
}
