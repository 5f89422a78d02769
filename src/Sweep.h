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

// Told, with the report's context, of each process that holds nothing the
// sweep could tell, and something it could not judge: `holder` says what, its
// signal 0, and `why` why: kUnreadTable (a mount table it needs can't be
// read), kNoTableShows (no table it could read shows the file's mount), or
// kUnplacedRing (files registered with io_uring, which the kernel names by
// their last component alone; the ring's descriptor).
typedef void (*UnjudgedReport)(const BusyumountHolder* holder, int why, void* context);

// Sweeps as ReportProcessesWithOpenFiles() does for the mount point of
// `mounts`, which StartBusyMounts() made ready, reading the mount tables
// into it; tells `unjudged`, if any, of the processes it could not judge,
// which it counts among those it could not inspect; with `threads` (zeroed
// before the first), remembers which processes' threads share everything,
// and doesn't compare them again.
int SweepWithTables(int signal, const pid_t* excluded_pids, int excluded_count,
                    BusyumountReport report, void* context, BusyMounts* mounts,
                    UnjudgedReport unjudged = nullptr, KeptThreads* threads = nullptr);

}  // namespace busyumount
