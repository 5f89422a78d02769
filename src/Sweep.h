// The sweep of the driver's run, which keeps what it read of the mount tables
// from one sweep to the next; ReportProcessesWithOpenFiles() is the same sweep
// with tables of its own.
#pragma once

#include <sys/types.h>

#include "MountNamespaces.h"
#include "ProcessKiller.h"

namespace busyumount {

// Processes whose threads all shared their main thread's working directory,
// root and descriptors when one of the driver's sweeps last compared them,
// each by its id, its task directory's inode (which a new process of the
// same id doesn't have) and its threads: a later sweep compares again only
// where one of those changed. Comparing costs two calls a thread, and an
// app has dozens.
constexpr int kKeptProcesses = 1024;
struct KeptThreads {
  struct {
    pid_t pid;  // 0 for a free slot
    unsigned task;
    unsigned threads;
  } processes[kKeptProcesses];
};

// Told, with the report's context, of each process that holds files
// registered with io_uring that the kernel doesn't place (it names only
// their last component): its id, command name and the ring's descriptor.
typedef void (*UnplacedReport)(pid_t pid, const char* command, int ring, void* context);

// Sweeps as ReportProcessesWithOpenFiles() does for the mount point of
// `mounts`, which StartBusyMounts() made ready, reading the mount tables
// into it; tells `unplaced`, if any, of the processes whose rings it can't
// judge, which it counts among those it could not inspect; with `threads`
// (zeroed before the first), remembers which processes' threads share
// everything, and doesn't compare them again.
int SweepWithTables(int signal, const pid_t* excluded_pids, int excluded_count,
                    BusyumountReport report, void* context, BusyMounts* mounts,
                    UnplacedReport unplaced = nullptr, KeptThreads* threads = nullptr);

}  // namespace busyumount
