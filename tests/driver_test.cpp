// The driver's timeline and options, run against stand-ins for umount(),
// sleep(), the sweep and the other holders' reading, which this program links
// in place of the real ones. Each call is written to a log: U an unmount
// attempt, P a pause, T a SIGTERM sweep and K a SIGKILL sweep, t and k the
// same telling, L a listing, C the loop devices read, O the other holders
// read.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "OtherHolders.h"
#include "Sweep.h"

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

// The sweep, silent (T, K) or telling (t, k), or listing (L). With
// `g_unjudged`, it meets a process whose ring it can't judge, and one whose
// working directory's mount no table shows.
bool g_unjudged = false;
int busyumount::SweepWithTables(int signal, const pid_t* excluded_pids, int excluded_count,
                                BusyumountReport report, void* context, BusyMounts* mounts,
                                UnjudgedReport unjudged, KeptThreads*) {
  g_log += signal == 0 ? 'L' : signal == SIGTERM ? (report ? 't' : 'T') : (report ? 'k' : 'K');
  // The tool spares itself, and only itself.
  g_stand_ins_ok &= mounts->mount_point == g_mount_point && excluded_count == 1 &&
                    excluded_pids != nullptr && excluded_pids[0] == getpid();
  if (g_unjudged && unjudged != nullptr) {
    const BusyumountHolder ring = {4321, 4321, BUSYUMOUNT_IO_URING, 5, "db\n", "", 0, 0, 0, 0, 0};
    const BusyumountHolder doubt = {77, 78, BUSYUMOUNT_CWD, -1, "sh", "/mnt/disk/a", 0, 0, 0, 0, 0};
    unjudged(&ring, kUnplacedRing, context);
    unjudged(&doubt, kNoTableShows, context);
  }
  return g_unjudged ? 2 : 0;
}

int ReportLoopDevices(const char* mount_point, BusyumountLoopReport, void*) {
  g_log += 'C';
  g_stand_ins_ok &= mount_point == g_mount_point;
  return 0;
}

int ReportOtherHolders(const char* mount_point, OtherHoldReport, void*) {
  g_log += 'O';
  g_stand_ins_ok &= mount_point == g_mount_point;
  return 0;
}

namespace {

struct Timeline {
  const char* name;
  std::vector<int> errors;
  const char* expected_log;
  const char* options = "";
  int status = 0;
};

// Runs the driver with `options`, split at blanks, and `mount_point` unless
// it is null, parsing options afresh; returns its status.
int RunDriver(const char* options, const char* mount_point) {
  std::vector<std::string> words = {"busyumount"};
  std::istringstream split(options);
  for (std::string word; split >> word;) words.push_back(word);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(const_cast<char*>(mount_point));
  argv.push_back(nullptr);
  g_log.clear();
  g_stand_ins_ok = true;
  optind = 0;
  return DriverMain(static_cast<int>(argv.size()) - 1 - (mount_point == nullptr), argv.data());
}

class DriverTimeline : public testing::TestWithParam<Timeline> {};

TEST_P(DriverTimeline, AttemptsPausesAndSweepsInOrder) {
  g_errors = GetParam().errors;
  g_attempt = 0;
  static const char mount_point[] = "/mnt/disk";
  g_mount_point = mount_point;
  // A stale error from before must not end the attempts.
  errno = EINVAL;
  EXPECT_EQ(RunDriver(GetParam().options, mount_point), GetParam().status);
  EXPECT_EQ(g_log, GetParam().expected_log);
  EXPECT_TRUE(g_stand_ins_ok);
}

std::string NameOf(const testing::TestParamInfo<Timeline>& info) {
  return info.param.name;
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
    NameOf);

INSTANTIATE_TEST_SUITE_P(
    Options, DriverTimeline,
    testing::Values(Timeline{"Verbose", {}, "UPUPUPUPUPtUPkUPkUPkUPkUPkCO", "-v"},
                    Timeline{"VerboseFreed",
                             {EBUSY, EBUSY, EBUSY, EBUSY, EBUSY, 0},
                             "UPUPUPUPUPtU",
                             "--verbose --"},
                    Timeline{"VerboseNotAMountPoint", {EINVAL}, "U", "-v"},
                    Timeline{"ListsAndNeitherUnmountsNorSignals", {}, "LCO", "-n", 1},
                    Timeline{"ListsVerbosely", {}, "LCO", "-v --list --", 1},
                    Timeline{"Recursive", {EBUSY, 0}, "CUPCU", "--recursive"},
                    // The loop devices are read again for each sweep.
                    Timeline{"RecursiveStaysBusy",
                             {},
                             "CUPCUPCUPCUPCUPTCCUPKCCUPKCCUPKCCUPKCCUPKC",
                             "-R"},
                    Timeline{"ListsRecursivelyAsItListsAlone", {}, "LCO", "-R -n", 1}),
    NameOf);

// It can't tell whether those processes hold the mount: it says so, and no
// more, and -n exits 2.
TEST(Driver, TellsOfProcessesItCannotJudge) {
  static const char mount_point[] = "/mnt/disk";
  g_mount_point = mount_point;
  g_unjudged = true;
  for (const char* options : {"-n", "-v"}) {
    g_errors = {EBUSY, EBUSY, EBUSY, EBUSY, EBUSY, 0};
    g_attempt = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunDriver(options, mount_point), options[1] == 'n' ? 2 : 0);
    const std::string told = testing::internal::GetCapturedStderr();
    EXPECT_NE(told.find("busyumount: 4321 (db\\n) holds files registered with io_uring that this "
                        "kernel doesn't place (io_uring fd 5)\n"
                        "busyumount: 77 (sh) not judged: holds cwd (thread 78) /mnt/disk/a, on a "
                        "mount that no mount table it could read shows\n"),
              std::string::npos)
        << told;
    EXPECT_EQ(told.find("could not inspect"), std::string::npos) << told;
  }
  g_unjudged = false;
}

TEST(Driver, WrongCallsTryNothing) {
  for (const char* call : {"", "/mnt/a /mnt/b", "-x /mnt/a", "-n", "/mnt/a -v", "--", "-nx /mnt/a",
                           "--list=1 /mnt/a"}) {
    EXPECT_EQ(RunDriver(call, nullptr), -1) << call;
    EXPECT_EQ(g_log, "");
  }
  char* empty[] = {nullptr};
  EXPECT_EQ(DriverMain(0, empty), -1);
  for (const char* call : {"-h /mnt/a", "--help", "--version"}) {
    EXPECT_EQ(RunDriver(call, nullptr), 0) << call;
    EXPECT_EQ(g_log, "");
  }
}

}  // namespace
