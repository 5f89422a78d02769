// The main of every test program that may send a signal. It refuses to run
// anywhere but as the first process of a private PID namespace with its own
// /proc, where a sweep can only reach the test's own children, and it gives
// the tests a private tmpfs for their files that vanishes with the namespace.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include "support.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!IsFirstProcessOfOwnNamespace()) {
    fprintf(stderr,
            "%s sends signals: it runs only in a private PID namespace with its own /proc.\n"
            "Run it through ctest, or tests/in-namespace.sh %s\n",
            argv[0], argv[0]);
    return 1;
  }
  char scratch[] = "/tmp/busyumount-test-XXXXXX";
  if (mkdtemp(scratch) == nullptr || mount("tmpfs", scratch, "tmpfs", 0, nullptr) != 0) {
    perror("making a private tmpfs for the tests");
    return 1;
  }
  setenv("BUSYUMOUNT_TEST_DIR", scratch, 1);
  const int status = RUN_ALL_TESTS();
  umount2(scratch, MNT_DETACH);
  rmdir(scratch);
  return status;
}
