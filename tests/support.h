// Helpers for the tests: real child processes that hold things, tmpfs mounts,
// and how a child ended.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// Forks a child that runs `setup` and, if it returns true, tells the parent it
// is ready and then waits for signals forever. Returns the child's pid once it
// is ready, or -1 (after reaping it) if the setup failed.
pid_t SpawnChild(const std::function<bool()>& setup);

// Runs `program` through execv with `args` in a child whose working directory
// is `cwd`. The program tells that it is ready by writing to its standard
// output, and it reads its standard input, which stays open and empty. Returns
// the child's pid once it is ready, or -1.
pid_t SpawnProgram(const char* program, const char* const args[], const char* cwd);

// Ends `pid` with a signal the sweep never sends (SIGVTALRM), reaps it and
// returns the signal that ended it, or 0 if it exited. A SIGTERM or SIGKILL
// sent earlier wins over SIGVTALRM, since pending signals are delivered lowest
// number first.
int SignalThatEnded(pid_t pid);

// Creates a new directory in the test program's private tmpfs and returns its
// path.
std::string MakeTempDir();

// Creates `path` as a directory, or a regular file when `is_file`, with every
// missing parent. Returns false on failure.
bool MakePath(const std::string& path, bool is_file = false);

// Opens `path` (a file or a directory) and leaves it open. For a child's setup.
bool HoldOpen(const std::string& path);

// Maps the file at `path` into memory and closes its descriptor, so that only
// the mapping holds it. For a child's setup.
bool MapWithoutDescriptor(const std::string& path);

// Registers the file at `path` with a new io_uring ring and closes its
// descriptor, so that only the ring holds it. Returns the ring's descriptor,
// or -1 if there is no io_uring to be had.
int RegisterWithIoUring(const std::string& path);

// Binds the Unix socket `fd` at `path`. Returns false on failure.
bool BindSocket(int fd, const std::string& path);

// Forks a child that runs `setup` and, if it returns true, starts a thread
// and ends its main thread, as pthread_exit() from main() does. Returns the
// child's pid once the main thread is gone, or -1.
pid_t SpawnWithoutMainThread(const std::function<bool()>& setup);

// Runs `setup` in a new thread of this process that first takes a working
// directory and root (CLONE_FS), or a descriptor table (CLONE_FILES), of its
// own, as `what` says, and then lives on. Returns what `setup` returned. For a
// child's setup.
bool InThreadOfItsOwn(int what, const std::function<bool()>& setup);

// Starts a process that holds `path` where /proc/<pid> doesn't show it: as
// the working directory of a thread of its own (`how` 0), open in a thread's
// own descriptors (1), or as a socket it binds in a network namespace of its
// own (2). Returns its pid, or -1.
pid_t SpawnInThreadOrNetworkOfItsOwn(int how, const std::string& path);

// Starts one process for each way of holding `mount_point`, which must hold
// the directory "deep" and the regular file `file`: an open file, an open
// directory (the mount point itself), a mapping without a descriptor, a
// working directory, a root directory, an executable (a copy of /bin/sh), a
// bound socket, a working directory whose main thread has exited, a
// thread's own working directory, a thread's own descriptor table, and a
// socket bound in a network namespace of its own. Returns their pids, -1 for
// any that failed to start.
std::vector<pid_t> SpawnHoldersOfEveryKind(const std::string& mount_point, const std::string& file);

// Starts processes that hold nothing under `mount_point`: one whose working
// directory is `sibling`, a directory beside the mount point whose name begins
// with the mount point's; one in `parent`, the mount point's parent; one with
// only pipes and `sibling` open; one with a socket bound in `sibling`; one
// with a socket bound in the sibling whose name is the mount point's and a
// newline; one with a socket bound at " <mount_point>/s" relative to
// `sibling`; two
// that forge lines of /proc/net/unix naming a socket of theirs as bound under
// the mount point; one that keeps a descriptor handed over from its child,
// which works and holds it on a look-alike tmpfs at the mount point's path in
// a mount namespace of its own; one on a private copy of the mount in a
// mount namespace of its own; a thread working in `sibling`, one with
// `sibling` open in descriptors of its own, and a socket bound there in a
// network namespace of its own. Returns their pids, -1 for any that failed.
std::vector<pid_t> SpawnBystanders(const std::string& mount_point, const std::string& sibling,
                                   const std::string& parent);

// Keeps the descriptor that `open_there` returns (-1 if it fails) in a child
// of this process, which hands it over, closes its own and lives on until
// this process ends. For a child's setup.
bool HoldDescriptorFrom(const std::function<int()>& open_there);

// Returns true if this process is the first of a private PID namespace with
// its own /proc, where anything it signals is its own descendant.
bool IsFirstProcessOfOwnNamespace();

// Returns true if `path` is listed as a mount point in /proc/self/mountinfo.
bool IsMountPoint(const std::string& path);

// Attaches a free loop device to `file`, which the kernel detaches once the
// last user lets go of it when `autoclear` (as mount -o loop does). Returns a
// descriptor of it and its path in `device`, or -1 if none is to be had here.
// Another test may take the same free device first: it asks again.
int AttachLoopDevice(const std::string& file, std::string* device, bool autoclear = true);

// Makes `file` an ext2 image of `kib` KiB; false if mke2fs can't.
bool MakeExt2(const std::string& file, int kib);

// The loop devices a test attached, each with the file it serves. Loop
// devices are the whole machine's: each is detached at the end, whatever
// happened (once its mounts are gone, if any are left), but only while it
// serves the test's file.
class OwnLoops {
 public:
  ~OwnLoops();
  // AttachLoopDevice(), kept for the end; returns the descriptor, or -1.
  int Attach(const std::string& file, bool autoclear);
  const std::string& device(size_t i) const {
    return devices_[i];
  }
  // Returns true if device `i` is attached still, to the same file, with
  // `flags` (LO_FLAGS_*), if asked for.
  bool Serves(size_t i, unsigned* flags = nullptr) const;

 private:
  std::vector<std::string> devices_;
  std::vector<struct stat> files_;
};

// A fixture: a new directory base_ holding "disk" (mount_point_, a tmpfs when
// the fixture is made with `mounted`) with the file deep/er/file (file_) in
// it, and beside it "disk2", whose name begins with the mount point's, with a
// file of its own. Matching is by string, so a plain directory stands in for a
// mount point wherever the tool itself doesn't unmount it.
class ScratchMountPoint : public testing::Test {
 protected:
  explicit ScratchMountPoint(bool mounted = false) : mounted_(mounted) {}
  void SetUp() override;
  void TearDown() override;

  const bool mounted_;
  std::string base_;
  std::string mount_point_;
  std::string file_;
};
