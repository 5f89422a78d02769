// The process killer: finds the processes that hold anything under a mount
// point, through /proc, and signals them.
#pragma once

#include <sys/types.h>

// Signals every process that holds anything under `mount_point`: an open file
// or directory, a mapped file, its working directory, root or executable.
// `signal_selector` 0 sends SIGTERM, any other value SIGKILL. The first
// `excluded_count` ids of `excluded_pids` are spared; with a count of 0 or
// less the list is never read and may be null. Reports nothing.
void KillProcessesWithOpenFiles(const char* mount_point, int signal_selector,
                                const pid_t* excluded_pids, int excluded_count);
