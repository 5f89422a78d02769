// The sweep of the driver's run, which keeps what it read of the mount tables
// from one sweep to the next; ReportProcessesWithOpenFiles() is the same sweep
// with tables of its own.
#pragma once

#include <sys/types.h>

#include "MountNamespaces.h"
#include "ProcessKiller.h"

namespace busyumount {

// Sweeps as ReportProcessesWithOpenFiles() does for the mount point of
// `mounts`, which StartBusyMounts() made ready, reading the mount tables
// into it.
int SweepWithTables(int signal, const pid_t* excluded_pids, int excluded_count,
                    BusyumountReport report, void* context, BusyMounts* mounts);

}  // namespace busyumount
