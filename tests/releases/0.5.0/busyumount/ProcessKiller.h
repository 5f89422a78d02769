// The process killer: finds the processes that hold anything under a mount
// point, through /proc, and signals them or tells who they are. Usable from C
// and C++; installed as <busyumount/ProcessKiller.h>, with the static library
// libbusyumount.a.
#pragma once

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

// Signals every process that holds anything on the mount at `mount_point`,
// on a mount under it, or on a copy of either that the unmount takes along,
// in any mount namespace: an open file or directory, a Unix socket bound
// there, a file registered with io_uring, a mapped file, its working
// directory, root or executable; in a thread of its own, the thread's own
// working directory, root or descriptors. A path read in /proc must lie
// where the file's mount namespace shows such a mount, and the file's own
// mount must be one, so that a directory the mount covers, a look-alike
// mount, a bind mount elsewhere or a private copy holds nothing. Sockets, of
// any network namespace, and files registered with io_uring are judged by
// their path, as the holder's namespace's mount table places it. What no
// table it could read places is not signalled.
// `signal_selector` 0 sends SIGTERM, any other value SIGKILL. The first
// `excluded_count` ids of `excluded_pids` are spared; with a count of 0 or
// less the list is never read and may be null. Nobody else is spared: the
// caller itself, its children and its helpers are signalled too when they
// hold the mount point and are not listed. It signals whatever the caller
// may signal (everyone, as root), and passes over in silence what it may not
// read or signal. It runs on the caller's thread, returns as soon as the
// signals are sent without waiting for anyone to exit, reports nothing, and
// allocates nothing but the short-lived streams of the /proc files it reads
// (where every process of a mount namespace is chrooted, or none is in it,
// a short-lived child process enters it to open its table);
// it touches at most 103 KiB of stack (measured), so it fits any thread's,
// musl's default of 128 KiB too.
void KillProcessesWithOpenFiles(const char* mount_point, int signal_selector,
                                const pid_t* excluded_pids, int excluded_count);

// What a holder holds the mount point by: the probe of the holder test that
// hit first.
enum BusyumountHold {
  BUSYUMOUNT_DESCRIPTOR,  // an open file or directory
  BUSYUMOUNT_SOCKET,      // an open Unix socket bound there
  BUSYUMOUNT_MAPPING,     // a memory-mapped file
  BUSYUMOUNT_CWD,         // its working directory
  BUSYUMOUNT_ROOT,        // its root directory
  BUSYUMOUNT_EXE,         // its executable
  BUSYUMOUNT_IO_URING,    // a file registered with an io_uring ring it has open
};

// One holder, as ReportProcessesWithOpenFiles() tells of it. The strings last
// as long as the call to the report.
struct BusyumountHolder {
  pid_t pid;
  pid_t thread;  // whose links showed the hold: `pid`, or another of its
                 // threads, with a working directory or descriptor table
                 // of its own, or once the main thread has exited
  enum BusyumountHold hold;
  int descriptor;                      // the descriptor's number for a descriptor or a
                                       // socket, the ring's for a file registered with
                                       // io_uring, else -1
  const char* command;                 // its command name, /proc/<pid>/comm ("" if unread)
  const char* path;                    // what it holds, as /proc showed it; for a socket,
                                       // the bound path; for io_uring, the registered file
  int signal;                          // the signal sent, or 0 if none was
  int error;                           // 0, or the errno with which the signal was refused
  char state;                          // its state before the signal, as /proc/<pid>/stat
                                       // tells ('S', 'R', 'D' for uninterruptible sleep,
                                       // which outlives SIGKILL until its I/O ends), or 0
  unsigned long long mount_namespace;  // when it holds a copy of the mount in
                                       // another mount namespace, that one's
                                       // inode (/proc/<pid>/ns/mnt); else 0
  int in_place_of_copy;                // 1 when what it holds is no copy of the
                                       // mount but sits in a copy's place (in
                                       // `mount_namespace`, or the caller's):
                                       // that namespace mounted something else
                                       // there, which the unmount looks at and
                                       // takes along all the same
};

typedef void (*BusyumountReport)(const struct BusyumountHolder* holder, void* context);

// The sweep of KillProcessesWithOpenFiles(), through the same holder test, that
// also tells `report` (with `context`) of each holder it finds and doesn't
// spare, once its signal is sent. It sends `signal` itself, SIGTERM or SIGKILL
// say; with a `signal` of 0 it signals nobody and only tells. Returns how many
// processes it could not judge because it may not read their /proc entries
// (SELinux, or another user's process without root), because they have
// files registered with io_uring that the kernel doesn't place (up to Linux
// 6.12 at least it names only their last component), or because they hold a
// file whose mount no mount table it could read shows, or -1 if /proc itself
// can't be read (errno says why). A process that exits meanwhile is not counted.
int ReportProcessesWithOpenFiles(const char* mount_point, int signal, const pid_t* excluded_pids,
                                 int excluded_count, BusyumountReport report, void* context);

// A loop device whose backing file lies on a mount that the unmount takes,
// or on a mount of such a loop device: it keeps the mount busy with no
// process to signal, until it is detached.
struct BusyumountLoopDevice {
  const char* device;                  // its node ("/dev/loop0", "/dev/block/loop0" on Android)
  unsigned major, minor;               // its numbers, which mountinfo shows for its mounts
  const char* backing_file;            // as /sys/block/loop<n>/loop/backing_file tells
  int autoclear;                       // the kernel detaches it once nothing holds it
  const char* left_alone;              // null if it may be taken down, once none of its mounts
                                       // remains; else why not ("held by dm-0", "used for swap")
  unsigned long long mount_namespace;  // another mount namespace that mounts it, its
                                       // inode (/proc/<pid>/ns/mnt); else 0
  const char* mounted_there;           // where that namespace mounts it, or null
};

typedef void (*BusyumountLoopReport)(const struct BusyumountLoopDevice* loop, void* context);

// Tells `report` (with `context`) of each loop device whose backing file lies
// on a mount that the unmount of `mount_point` takes along, by its path as
// the kernel shows it and by the device and inode that LOOP_GET_STATUS64
// tells, or on a mount of such a loop device, those on the mounts of others
// first: what an unmount of the tree takes down before the mount, unmounting
// its mounts and then detaching it (LOOP_CLR_FD). Touches nothing. Returns how
// many it told of, or -1 if /sys/block can't be read.
int ReportLoopDevices(const char* mount_point, BusyumountLoopReport report, void* context);

#ifdef __cplusplus
}
#endif
