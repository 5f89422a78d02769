// What keeps a mount busy with no process to signal: mounts under it, loop
// devices backed by a file under it, swap files under it. The driver reads
// them once, to tell a person why a mount stays busy; the sweep never does.
#pragma once

enum OtherHold { kSubmount, kLoopDevice, kSwapFile };

// Told of each: `device` is the loop device's name ("loop0"), else "";
// `path` the submount's mount point, the loop device's backing file or the
// swap file, unescaped.
typedef void (*OtherHoldReport)(OtherHold hold, const char* device, const char* path,
                                void* context);

// Tells `report` (with `context`) of every mount under `mount_point` in
// /proc/self/mountinfo, every loop device whose /sys/block/loop*/loop/backing_file
// lies under it, and every swap file under it in /proc/swaps; returns how many.
int ReportOtherHolders(const char* mount_point, OtherHoldReport report, void* context);
