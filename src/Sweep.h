// The sweep of the driver's run, which keeps what it read of the mount tables
// from one sweep to the next; ReportProcessesWithOpenFiles() is the same sweep
// with tables of its own.
#pragma once

#include <sys/types.h>

#include "MountNamespaces.h"
#include "ProcessKiller.h"

namespace busyumount {

// Told, with the report's context, of each process that holds files
// registered with io_uring that the kernel doesn't place (it names only
// their last component): its id, command name and the ring's descriptor.
typedef void (*UnplacedReport)(pid_t pid, const char* command, int ring, void* context);

// Sweeps as ReportProcessesWithOpenFiles() does for the mount point of
// `mounts`, which StartBusyMounts() made ready, reading the mount tables
// into it; tells `unplaced`, if any, of the processes whose rings it can't
// judge, which it counts among those it could not inspect.
int SweepWithTables(int signal, const pid_t* excluded_pids, int excluded_count,
                    BusyumountReport report, void* context, BusyMounts* mounts,
                    UnplacedReport unplaced = nullptr);

}  // namespace busyumount
