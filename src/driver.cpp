// busyumount: unmounts a mount point even while processes keep it busy. It
// retries a plain unmount, and from the fifth failure on signals the processes
// that hold the mount point: SIGTERM once, SIGKILL after that.
#include <errno.h>
#include <stdio.h>
#include <sys/mount.h>
#include <unistd.h>

#include "ProcessKiller.h"

namespace {

constexpr int kAttempts = 10;
constexpr unsigned kPauseSeconds = 1;
// Sweeps follow the failed attempts whose index is above this one: the fifth on.
constexpr int kLastAttemptWithoutSweep = 3;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    // Should standard error be gone, there is nobody left to tell.
    (void)fprintf(stderr, "usage: %s  <mount_point>\n", argc > 0 ? argv[0] : "busyumount");
    return -1;
  }
  const char* mount_point = argv[1];
  // Started from under the mount point, the tool holds it too. It must not die
  // by its own SIGTERM before the real holders ever get SIGKILL.
  const pid_t self = getpid();
  int escalate = 0;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    errno = 0;
    if (umount(mount_point) == 0) break;
    // Not a mount point, or no such path: no retry can change that.
    if (errno == EINVAL || errno == ENOENT) break;
    // EBUSY, and EPERM too: a refusal is retried like any other failure.
    sleep(kPauseSeconds);
    if (attempt > kLastAttemptWithoutSweep) {
      KillProcessesWithOpenFiles(mount_point, escalate, &self, 1);
      escalate = 1;
    }
  }
  // The status says only that the call was well formed, even when the mount
  // point stayed busy: callers that care check the mount itself.
  return 0;
}
