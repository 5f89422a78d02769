// The process killer: finds the processes that hold anything under a mount
// point, through /proc, and signals them. Usable from C and C++; installed as
// <busyumount/ProcessKiller.h>, with the static library libbusyumount.a.
#pragma once

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

// Signals every process that holds anything under `mount_point`: an open file
// or directory, a Unix socket bound there, a mapped file, its working
// directory, root or executable; once its main thread has exited, in any of
// its other threads. Paths are compared as text, as /proc shows them to the
// caller, in the caller's network namespace for sockets.
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

#ifdef __cplusplus
}
#endif
