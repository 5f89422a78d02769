// Helpers for the tests: real child processes that hold things, tmpfs mounts,
// and how a child ended.
#include "support.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/io_uring.h>
#include <linux/loop.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

pid_t SpawnChild(const std::function<bool()>& setup) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    const char byte = setup() ? 'r' : 'f';
    if (write(ready[1], &byte, 1) != 1 || byte != 'r') _exit(1);
    close(ready[1]);
    for (;;) pause();
  }
  close(ready[1]);
  char byte = 0;
  const bool ok = pid > 0 && read(ready[0], &byte, 1) == 1 && byte == 'r';
  close(ready[0]);
  if (!ok && pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  return ok ? pid : -1;
}

pid_t SpawnProgram(const char* program, const char* const args[], const char* cwd) {
  int ready[2];
  int input[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return -1;
  if (pipe2(input, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd) != 0 || dup2(input[0], 0) < 0 || dup2(ready[1], 1) < 0) _exit(127);
    execv(program, const_cast<char* const*>(args));
    _exit(127);
  }
  close(ready[1]);
  close(input[0]);
  char byte = 0;
  const bool ok = pid > 0 && read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  // The write end of the input pipe stays open in this process, so the child's
  // reads block until it is signalled. It leaks one descriptor per child.
  if (!ok && pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  return ok ? pid : -1;
}

int SignalThatEnded(pid_t pid) {
  kill(pid, SIGVTALRM);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

std::string MakeTempDir() {
  const char* scratch = getenv("BUSYUMOUNT_TEST_DIR");
  std::string path = std::string(scratch != nullptr ? scratch : "/tmp") + "/dir-XXXXXX";
  if (mkdtemp(path.data()) == nullptr) return "";
  return path;
}

bool MakePath(const std::string& path, bool is_file) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (mkdir(path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  if (!is_file) return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool HoldOpen(const std::string& path) {
  return open(path.c_str(), O_RDONLY) >= 0;
}

bool MapWithoutDescriptor(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  const void* mapping = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  return mapping != MAP_FAILED;
}

bool BindSocket(int fd, const std::string& path) {
  sockaddr_un address = {.sun_family = AF_UNIX, .sun_path = {}};
  if (fd < 0 || path.size() >= sizeof(address.sun_path)) return false;
  path.copy(address.sun_path, path.size());
  return bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

// Makes an unbound socket, in a new network namespace if `elsewhere`, and
// binds another, below the working directory, at a path that holds a newline
// and then a line of /proc/net/unix of its own: the first, bound under
// `mount_point`.
static bool ForgeBoundSocket(const std::string& mount_point, bool elsewhere) {
  const int forger = socket(AF_UNIX, SOCK_STREAM, 0);
  int ends[2];
  struct stat named;
  if ((elsewhere && unshare(CLONE_NEWNET) != 0) || socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0 ||
      fstat(ends[0], &named) != 0) {
    return false;
  }
  const std::string path = "f\n0: 0 0 0 0 0 " + std::to_string(named.st_ino) + " " + mount_point;
  return MakePath(path) && BindSocket(forger, path + "/s");
}

bool HoldDescriptorFrom(const std::function<int()>& open_there) {
  int ends[2];
  int fd = -1;
  char byte = 0;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  iovec data = {&byte, 1};
  msghdr message = {nullptr, 0, &data, 1, control, sizeof(control), 0};
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return false;
  if (fork() == 0) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || (fd = open_there()) < 0) _exit(1);
    CMSG_FIRSTHDR(&message)->cmsg_level = SOL_SOCKET;
    CMSG_FIRSTHDR(&message)->cmsg_type = SCM_RIGHTS;
    CMSG_FIRSTHDR(&message)->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(CMSG_FIRSTHDR(&message)), &fd, sizeof(int));
    if (sendmsg(ends[1], &message, 0) != 1) _exit(1);
    close(fd);
    for (;;) pause();
  }
  return recvmsg(ends[0], &message, 0) == 1 && CMSG_FIRSTHDR(&message) != nullptr;
}

bool InThreadOfItsOwn(int what, const std::function<bool()>& setup) {
  static int ready[2];
  static const std::function<bool()>* run;
  static int unshared;
  if (pipe(ready) != 0) return false;
  run = &setup;
  unshared = what;
  const auto live = [](void*) -> void* {
    const char byte = unshare(unshared) == 0 && (*run)() ? 'r' : 'f';
    if (write(ready[1], &byte, 1) != 1) _exit(1);
    for (;;) pause();
  };
  pthread_t thread;
  char byte = 0;
  return pthread_create(&thread, nullptr, live, nullptr) == 0 && read(ready[0], &byte, 1) == 1 &&
         byte == 'r';
}

int RegisterWithIoUring(const std::string& path) {
  io_uring_params parameters = {};
  const int ring = static_cast<int>(syscall(__NR_io_uring_setup, 1, &parameters));
  const int fd = ring < 0 ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool registered =
      fd >= 0 && syscall(__NR_io_uring_register, ring, IORING_REGISTER_FILES, &fd, 1) == 0;
  if (fd >= 0) close(fd);
  if (!registered && ring >= 0) close(ring);
  return registered ? ring : -1;
}

pid_t SpawnWithoutMainThread(const std::function<bool()>& setup) {
  static int ready[2];
  if (pipe(ready) != 0) return -1;
  // The other thread tells once the main thread is gone, its cwd link with it.
  const auto tell = [](void*) -> void* {
    for (char link[8]; readlink("/proc/self/cwd", link, sizeof(link)) >= 0;) sched_yield();
    if (write(ready[1], "r", 1) != 1) _exit(1);
    for (;;) pause();
  };
  const pid_t pid = fork();
  if (pid == 0) {
    pthread_t thread;
    if (!setup() || pthread_create(&thread, nullptr, tell, nullptr) != 0) _exit(1);
    syscall(SYS_exit, 0);  // as pthread_exit(), without unwinding the test
  }
  close(ready[1]);
  char byte = 0;
  const bool ok = pid > 0 && read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  return ok ? pid : -1;
}

pid_t SpawnInThreadOrNetworkOfItsOwn(int how, const std::string& path) {
  return SpawnChild([&] {
    if (how == 2) {
      return unshare(CLONE_NEWNET) == 0 && BindSocket(socket(AF_UNIX, SOCK_STREAM, 0), path);
    }
    return InThreadOfItsOwn(how == 0 ? CLONE_FS : CLONE_FILES,
                            [&] { return how == 0 ? chdir(path.c_str()) == 0 : HoldOpen(path); });
  });
}

std::vector<pid_t> SpawnHoldersOfEveryKind(const std::string& mount_point,
                                           const std::string& file) {
  const std::string jail = mount_point + "/deep";
  const std::string shell = mount_point + "/sh";
  const char* const args[] = {"sh", "-c", "echo ready; read line", nullptr};
  const bool copied = system(("cp /bin/sh " + shell).c_str()) == 0;
  return {
      SpawnChild([&] { return HoldOpen(file); }),
      SpawnChild([&] { return HoldOpen(mount_point); }),
      SpawnChild([&] { return MapWithoutDescriptor(file); }),
      SpawnChild([&] { return chdir(jail.c_str()) == 0; }),
      SpawnChild([&] { return chroot(jail.c_str()) == 0; }),
      copied ? SpawnProgram(shell.c_str(), args, "/") : -1,
      SpawnChild([&] { return BindSocket(socket(AF_UNIX, SOCK_STREAM, 0), mount_point + "/s"); }),
      SpawnWithoutMainThread([&] { return chdir(jail.c_str()) == 0; }),
      SpawnInThreadOrNetworkOfItsOwn(0, jail),
      SpawnInThreadOrNetworkOfItsOwn(1, file),
      SpawnInThreadOrNetworkOfItsOwn(2, mount_point + "/n"),
  };
}

std::vector<pid_t> SpawnBystanders(const std::string& mount_point, const std::string& sibling,
                                   const std::string& parent) {
  return {
      SpawnChild([&] { return chdir(sibling.c_str()) == 0; }),
      SpawnChild([&] { return chdir(parent.c_str()) == 0; }),
      SpawnChild([&] {
        int ends[2];
        return pipe(ends) == 0 && HoldOpen(sibling);
      }),
      SpawnChild([&] { return BindSocket(socket(AF_UNIX, SOCK_STREAM, 0), sibling + "/s"); }),
      // Bound in the sibling "<mount point>\n": cut at its newline, the line reads the mount point.
      SpawnChild([&] {
        return MakePath(mount_point + "\n") &&
               BindSocket(socket(AF_UNIX, SOCK_STREAM, 0), mount_point + "\n/ctl");
      }),
      // Bound relative to the sibling at " <mount point>/s": one blank more than the line's own.
      SpawnChild([&] {
        return chdir(sibling.c_str()) == 0 && MakePath(" " + mount_point) &&
               BindSocket(socket(AF_UNIX, SOCK_STREAM, 0), " " + mount_point + "/s");
      }),
      // Each forges a line of /proc/net/unix that lists a socket of its own as
      // bound under the mount point: one of this network namespace, one of
      // another.
      SpawnChild(
          [&] { return chdir(sibling.c_str()) == 0 && ForgeBoundSocket(mount_point, false); }),
      SpawnChild(
          [&] { return chdir(sibling.c_str()) == 0 && ForgeBoundSocket(mount_point, true); }),
      // It keeps a descriptor from a child that works on a look-alike tmpfs at
      // the mount point's path, in a mount namespace of its own.
      SpawnChild([&] {
        return HoldDescriptorFrom([&] {
          return unshare(CLONE_NEWNS) == 0 &&
                         mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                         mount("tmpfs", mount_point.c_str(), "tmpfs", 0, nullptr) == 0 &&
                         chdir(mount_point.c_str()) == 0
                     ? open("handed", O_CREAT | O_RDWR, 0644)
                     : -1;
        });
      }),
      // On a private copy of the mount, in a mount namespace of its own.
      SpawnChild([&] { return unshare(CLONE_NEWNS) == 0 && chdir(mount_point.c_str()) == 0; }),
      // A thread working in the sibling, or with it open in descriptors of
      // its own; a socket bound there in a network namespace of its own.
      SpawnInThreadOrNetworkOfItsOwn(0, sibling),
      SpawnInThreadOrNetworkOfItsOwn(1, sibling),
      SpawnInThreadOrNetworkOfItsOwn(2, sibling + "/n"),
  };
}

bool IsFirstProcessOfOwnNamespace() {
  char self[16] = {};
  return getpid() == 1 && readlink("/proc/self", self, sizeof(self) - 1) > 0 &&
         strcmp(self, "1") == 0;
}

bool IsMountPoint(const std::string& path) {
  FILE* mountinfo = fopen("/proc/self/mountinfo", "re");
  if (mountinfo == nullptr) return false;
  char line[8192];
  char mount_point[4096];
  bool found = false;
  while (!found && fgets(line, sizeof(line), mountinfo) != nullptr) {
    // Fields: id, parent id, major:minor, root, mount point, ...
    found = sscanf(line, "%*s %*s %*s %*s %4095s", mount_point) == 1 && path == mount_point;
  }
  fclose(mountinfo);
  return found;
}

void ScratchMountPoint::SetUp() {
  base_ = MakeTempDir();
  ASSERT_FALSE(base_.empty());
  mount_point_ = base_ + "/disk";
  file_ = mount_point_ + "/deep/er/file";
  ASSERT_TRUE(MakePath(mount_point_));
  if (mounted_) {
    ASSERT_EQ(mount("tmpfs", mount_point_.c_str(), "tmpfs", 0, nullptr), 0);
  }
  ASSERT_TRUE(MakePath(file_, true));
  ASSERT_TRUE(MakePath(base_ + "/disk2/file", true));
}

void ScratchMountPoint::TearDown() {
  if (mounted_) umount2(mount_point_.c_str(), MNT_DETACH);
}

int AttachLoopDevice(const std::string& file, std::string* device, bool autoclear) {
  const int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  const int backing = open(file.c_str(), O_RDWR | O_CLOEXEC);
  int loop = -1;
  for (int tries = 0; loop < 0 && control >= 0 && backing >= 0 && tries < 10; ++tries) {
    const int number = ioctl(control, LOOP_CTL_GET_FREE);
    if (number < 0) break;
    *device = "/dev/loop" + std::to_string(number);
    loop = open(device->c_str(), O_RDWR | O_CLOEXEC);
    if (loop >= 0 && ioctl(loop, LOOP_SET_FD, backing) != 0) {
      close(loop);
      loop = -1;
    }
  }
  loop_info64 info = {};
  info.lo_flags = autoclear ? LO_FLAGS_AUTOCLEAR : 0;
  if (loop >= 0 && ioctl(loop, LOOP_SET_STATUS64, &info) != 0) {
    ioctl(loop, LOOP_CLR_FD, 0);
    close(loop);
    loop = -1;
  }
  close(control);
  close(backing);
  return loop;
}

bool MakeExt2(const std::string& file, int kib) {
  return MakePath(file, true) && truncate(file.c_str(), kib * 1024) == 0 &&
         system(("mke2fs -F " + file + " " + std::to_string(kib) + " >/dev/null 2>&1").c_str()) ==
             0;
}

OwnLoops::~OwnLoops() {
  for (size_t i = 0; i < devices_.size(); ++i) {
    const int loop = Serves(i) ? open(devices_[i].c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (loop >= 0) ioctl(loop, LOOP_CLR_FD, 0);
    if (loop >= 0) close(loop);
  }
}

int OwnLoops::Attach(const std::string& file, bool autoclear) {
  std::string device;
  struct stat served;
  const int loop =
      stat(file.c_str(), &served) == 0 ? AttachLoopDevice(file, &device, autoclear) : -1;
  if (loop >= 0) {
    devices_.push_back(device);
    files_.push_back(served);
  }
  return loop;
}

bool OwnLoops::Serves(size_t i, unsigned* flags) const {
  const int loop = open(devices_[i].c_str(), O_RDONLY | O_CLOEXEC);
  loop_info64 info = {};
  const bool serves = loop >= 0 && ioctl(loop, LOOP_GET_STATUS64, &info) == 0 &&
                      info.lo_device == files_[i].st_dev && info.lo_inode == files_[i].st_ino;
  if (loop >= 0) close(loop);
  if (flags != nullptr) *flags = info.lo_flags;
  return serves;
}
