// The process killer: finds the processes that hold anything under a mount
// point, through /proc, and signals them or tells who they are. Usable from C
// and C++; installed as <busyumount/ProcessKiller.h>, with the static library
// libbusyumount.a.
#pragma once

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

// Signals every process that holds anything under `mount_point`: an open file
// or directory, a Unix socket bound there, a mapped file, its working
// directory, root or executable; once its main thread has exited, in any of
// its other threads. Paths are compared as text, as /proc shows them to the
// caller, in the caller's network namespace for sockets; a file held by
// descriptor, working directory, root or executable must also lie on one of
// the file systems mounted at or under `mount_point` (in any mount namespace),
// so that a directory the mount covers, or a look-alike mount elsewhere,
// holds nothing.
// `signal_selector` 0 sends SIGTERM, any other value SIGKILL. The first
// `excluded_count` ids of `excluded_pids` are spared; with a count of 0 or
// less the list is never read and may be null. Nobody else is spared: the
// caller itself, its children and its helpers are signalled too when they
// hold the mount point and are not listed. It signals whatever the caller
// may signal (everyone, as root), and passes over in silence what it may not
// read or signal. It runs on the caller's thread, returns as soon as the
// signals are sent without waiting for anyone to exit, reports nothing, and
// allocates nothing but the short-lived streams of the /proc files it reads.
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
};

// One holder, as ReportProcessesWithOpenFiles() tells of it. The strings last
// as long as the call to the report.
struct BusyumountHolder {
  pid_t pid;
  pid_t thread;  // whose links showed the hold: `pid`, or once the
                 // main thread has exited, another of its threads
  enum BusyumountHold hold;
  int descriptor;       // the descriptor's number for a descriptor or a
                        // socket, else -1
  const char* command;  // its command name, /proc/<pid>/comm ("" if unread)
  const char* path;     // what it holds, as /proc showed it; for a socket,
                        // the bound path
  int signal;           // the signal sent, or 0 if none was
  int error;            // 0, or the errno with which the signal was refused
  char state;           // its state before the signal, as /proc/<pid>/stat
                        // tells ('S', 'R', 'D' for uninterruptible sleep,
                        // which outlives SIGKILL until its I/O ends), or 0
};

typedef void (*BusyumountReport)(const struct BusyumountHolder* holder, void* context);

// The sweep of KillProcessesWithOpenFiles(), through the same holder test, that
// also tells `report` (with `context`) of each holder it finds and doesn't
// spare, once its signal is sent. It sends `signal` itself, SIGTERM or SIGKILL
// say; with a `signal` of 0 it signals nobody and only tells. Returns how many
// processes it could not judge because it may not read their /proc entries
// (SELinux, or another user's process without root), or -1 if /proc itself
// can't be read (errno says why). A process that exits meanwhile is not
// counted.
int ReportProcessesWithOpenFiles(const char* mount_point, int signal, const pid_t* excluded_pids,
                                 int excluded_count, BusyumountReport report, void* context);

#ifdef __cplusplus
}
#endif
