// A program written against the header of an earlier release, built with
// that header and run against this library: a minor release only adds, so
// what it reads of a holder must still be where it was. It mounts a tmpfs,
// holds a file there, and must be told of itself, spared, exactly.
//
//   release_test     (as root, the first process of a PID namespace)
#include <busyumount/ProcessKiller.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

struct Seen {
  int count, fd;
  const char* path;
};

static void Check(const struct BusyumountHolder* holder, void* context) {
  struct Seen* seen = context;
  if (holder->pid == getpid() && holder->thread == getpid() &&
      holder->hold == BUSYUMOUNT_DESCRIPTOR && holder->descriptor == seen->fd &&
      strcmp(holder->path, seen->path) == 0 && holder->command[0] != '\0' && holder->signal == 0 &&
      holder->error == 0 && holder->state != 0) {
    ++seen->count;
  } else {
    fprintf(stderr, "told of %d (%s): hold %d fd %d %s\n", (int)holder->pid, holder->command,
            (int)holder->hold, holder->descriptor, holder->path);
    seen->count = -1000;
  }
}

int main(void) {
  if (getpid() != 1) {
    fprintf(stderr, "release_test sweeps: run it through tests/in-namespace.sh\n");
    return 1;
  }
  char dir[] = "/tmp/busyumount-release-XXXXXX", file[64];
  if (mkdtemp(dir) == NULL || mount("tmpfs", dir, "tmpfs", 0, NULL) != 0) return 1;
  snprintf(file, sizeof(file), "%s/held", dir);
  struct Seen seen = {0, open(file, O_CREAT | O_RDWR | O_CLOEXEC, 0600), file};
  const pid_t self = getpid();
  const int uninspected = ReportProcessesWithOpenFiles(dir, 0, NULL, 0, Check, &seen);
  // The caller spared, the sweep sends nothing.
  KillProcessesWithOpenFiles(dir, 0, &self, 1);
  close(seen.fd);
  const int busy = umount(dir);
  rmdir(dir);
  if (seen.fd < 0 || uninspected != 0 || seen.count != 1 || busy != 0) {
    fprintf(stderr, "release_test: told %d times, %d not inspected\n", seen.count, uninspected);
    return 1;
  }
  puts("an earlier release's program works");
  return 0;
}
