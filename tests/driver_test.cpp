// The driver's timeline, run against stand-ins for umount(), sleep() and the
// sweep that this program links in place of the real ones. Each call is
// written to a log: U an unmount attempt, P a pause, T a SIGTERM sweep and K a
// SIGKILL sweep.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ProcessKiller.h"

// The driver's main, renamed when it is built into this program.
int DriverMain(int argc, char** argv);

namespace {

std::string g_log;
std::vector<int> g_errors;  // per attempt: 0 succeeds, -1 fails leaving errno alone
size_t g_attempt = 0;
const char* g_mount_point = nullptr;
bool g_stand_ins_ok = true;

}  // namespace

extern "C" int umount(const char* target) noexcept {
  g_log += 'U';
  g_stand_ins_ok &= target == g_mount_point;
  const int error = g_attempt < g_errors.size() ? g_errors[g_attempt] : EBUSY;
  ++g_attempt;
  if (error == 0) return 0;
  if (error > 0) errno = error;
  return -1;
}

extern "C" unsigned int sleep(unsigned int seconds) {
  g_log += 'P';
  g_stand_ins_ok &= seconds == 1;
  return 0;
}

void KillProcessesWithOpenFiles(const char* mount_point, int signal_selector,
                                const pid_t* excluded_pids, int excluded_count) {
  g_log += signal_selector == 0 ? 'T' : 'K';
  // The tool spares itself, and only itself.
  g_stand_ins_ok &= mount_point == g_mount_point && excluded_count == 1 &&
                    excluded_pids != nullptr && excluded_pids[0] == getpid();
}

namespace {

struct Timeline {
  const char* name;
  std::vector<int> errors;
  const char* expected_log;
};

class DriverTimeline : public testing::TestWithParam<Timeline> {};

TEST_P(DriverTimeline, AttemptsPausesAndSweepsInOrder) {
  g_log.clear();
  g_errors = GetParam().errors;
  g_attempt = 0;
  g_stand_ins_ok = true;
  char program[] = "busyumount";
  char mount_point[] = "/mnt/disk";
  g_mount_point = mount_point;
  char* argv[] = {program, mount_point, nullptr};
  // A stale error from before must not end the attempts.
  errno = EINVAL;
  EXPECT_EQ(DriverMain(2, argv), 0);
  EXPECT_EQ(g_log, GetParam().expected_log);
  EXPECT_TRUE(g_stand_ins_ok);
}

constexpr int kStale = -1;

INSTANTIATE_TEST_SUITE_P(
    Driver, DriverTimeline,
    testing::Values(Timeline{"FreeMount", {0}, "U"}, Timeline{"NotAMountPoint", {EINVAL}, "U"},
                    Timeline{"NoSuchPath", {ENOENT}, "U"},
                    Timeline{"StaysBusy", {}, "UPUPUPUPUPTUPKUPKUPKUPKUPK"},
                    Timeline{"NotPermitted",
                             {EPERM, EPERM, EPERM, EPERM, EPERM, EPERM, EPERM, EPERM, EPERM, EPERM},
                             "UPUPUPUPUPTUPKUPKUPKUPKUPK"},
                    Timeline{"FreedOnSecondAttempt", {EBUSY, 0}, "UPU"},
                    Timeline{"FreedRightAfterTheSigtermSweep",
                             {EBUSY, EBUSY, EBUSY, EBUSY, EBUSY, 0},
                             "UPUPUPUPUPTU"},
                    Timeline{"FreedAfterTheFirstSigkillSweep",
                             {EBUSY, EBUSY, EBUSY, EBUSY, EBUSY, EBUSY, 0},
                             "UPUPUPUPUPTUPKU"},
                    Timeline{"FreedOnTheLastAttempt",
                             {EBUSY, EBUSY, EBUSY, EBUSY, EBUSY, EBUSY, EBUSY, EBUSY, EBUSY, 0},
                             "UPUPUPUPUPTUPKUPKUPKUPKU"},
                    Timeline{"GoneWhileBusy",
                             {EBUSY, EBUSY, EBUSY, EBUSY, EBUSY, EBUSY, ENOENT},
                             "UPUPUPUPUPTUPKU"},
                    Timeline{"FailureWithoutErrno", {kStale, kStale, 0}, "UPUPU"}),
    [](const testing::TestParamInfo<Timeline>& info) { return std::string(info.param.name); });

TEST(Driver, WrongArgumentCountTriesNothing) {
  char program[] = "busyumount";
  char a[] = "/mnt/a";
  char b[] = "/mnt/b";
  char* none[] = {program, nullptr};
  char* two[] = {program, a, b, nullptr};
  char* empty[] = {nullptr};
  g_log.clear();
  EXPECT_EQ(DriverMain(1, none), -1);
  EXPECT_EQ(DriverMain(3, two), -1);
  EXPECT_EQ(DriverMain(0, empty), -1);
  EXPECT_EQ(g_log, "");
}

}  // namespace
