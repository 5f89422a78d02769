// A daemon-like caller of the sweep: it works under a mount point itself, as
// does a helper child it starts, and frees the mount of every other holder,
// sparing itself and the helper through the exclusion list.
//
//   spare_helper <mount_point>
//
// Prints "helper spared" and exits 0 if the helper lived through the sweep.
#include <busyumount/ProcessKiller.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <mount_point>\n", argv[0]);
    return 2;
  }
  if (chdir(argv[1]) != 0) {
    perror(argv[1]);
    return 1;
  }
  int ready[2];
  if (pipe(ready) != 0) return 1;
  const pid_t helper = fork();
  if (helper == 0) {
    if (write(ready[1], "r", 1) != 1) _exit(1);
    for (;;) pause();
  }
  char byte;
  if (helper < 0 || read(ready[0], &byte, 1) != 1) return 1;

  const pid_t spared[] = {getpid(), helper};
  KillProcessesWithOpenFiles(argv[1], 0, spared, 2);

  // A signal the sweep never sends ends the helper; had the sweep's SIGTERM
  // reached it, that would have ended it first.
  kill(helper, SIGVTALRM);
  int status = 0;
  waitpid(helper, &status, 0);
  if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGVTALRM) {
    fprintf(stderr, "the helper was signalled\n");
    return 1;
  }
  puts("helper spared");
  return 0;
}
