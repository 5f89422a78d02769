// What keeps a mount busy with no process to signal, and that no unmount
// with -R takes down: mounts under it (which it unmounts, but may not),
// swap files under it, binfmt_misc interpreters registered from a file under
// it with the F flag. The driver reads them once, to tell a person why a
// mount stays busy; the sweep never does.
#pragma once

enum OtherHold { kSubmount, kSwapFile, kInterpreter };

// Told of each: `name` is the interpreter's entry ("qemu-arm"), else "";
// `path` the submount's mount point, the swap file or the interpreter,
// unescaped.
typedef void (*OtherHoldReport)(OtherHold hold, const char* name, const char* path,
                                void* context);

// Tells `report` (with `context`) of every mount under `mount_point` in
// /proc/self/mountinfo, every swap file under it in /proc/swaps, and every
// interpreter under it that /proc/sys/fs/binfmt_misc shows the kernel holding
// open; returns how many.
int ReportOtherHolders(const char* mount_point, OtherHoldReport report, void* context);
