#include "app/Daemon.h"

#include "log/AppendFile.h"
#include "log/InstallDirectory.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace marlobex {

namespace {

// The one piece of state a signal handler may touch.
volatile std::sig_atomic_t g_pending_signal = 0;

void close_every_descriptor() {
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, 0u, ~0u, 0u) == 0) return;
#endif
  // Without close_range, a bounded loop: a huge descriptor limit must not slow start-up.
  long limit = ::getdtablesize();
  if (limit < 0 || limit > 65536) limit = 65536;
  for (long fd = limit; fd >= 0; --fd) ::close(static_cast<int>(fd));
}

void standard_streams_on_null() {
  const int fd = ::open("/dev/null", O_RDWR);
  if (fd < 0) return;
  if (::dup(fd) < 0) return;
  if (::dup(fd) < 0) return;
}

void set_signal_dispositions() {
  std::signal(SIGCHLD, SIG_IGN);
  std::signal(SIGTSTP, SIG_IGN);
  std::signal(SIGTTOU, SIG_IGN);
  std::signal(SIGTTIN, SIG_IGN);
  std::signal(SIGHUP, signal_handler);
  std::signal(SIGTERM, signal_handler);
}

}  // namespace

int take_instance_lock(const std::string& path) {
  // A FIFO at the path must not hold start-up, and only a regular file (perhaps behind a symbolic
  // link an administrator made) may be truncated and written.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK, 0640);
  if (fd < 0) return -1;
  if (!is_regular_file(fd)) {
    ::close(fd);
    return -1;
  }
  if (::lockf(fd, F_TLOCK, 0) < 0) {
    ::close(fd);
    return -2;
  }
  // Truncate only once the lock is ours: a running instance's id must never be wiped, and a
  // longer stale id must not leave digits behind ours.
  if (::ftruncate(fd, 0) != 0) {
    // Nothing to do: the id below still lands at the start of the file.
  }
  char text[32];
  const int length = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(::getpid()));
  if (::pwrite(fd, text, static_cast<size_t>(length), 0) != length) {
    // A failed write of the id does not stop start-up; the lock is what counts.
  }
  return fd;
}

DaemonStart daemonize() {
  if (::getppid() == 1) return DaemonStart::Daemon;
  const pid_t child = ::fork();
  if (child < 0) return DaemonStart::ForkFailed;
  if (child > 0) return DaemonStart::ForkingParent;
  ::setsid();
  close_every_descriptor();
  standard_streams_on_null();
  ::umask(027);
  if (::chdir(kInstallDirectory) != 0) {
    // The lock file is then looked for in the inherited directory.
  }
  const int lock = take_instance_lock(kLockFile);
  if (lock == -1) return DaemonStart::LockFailed;
  if (lock == -2) return DaemonStart::AlreadyRunning;
  // The descriptor stays open for the life of the process: it holds the lock.
  set_signal_dispositions();
  return DaemonStart::Daemon;
}

void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

void signal_handler(int signal_number) {
  if (signal_number == SIGHUP || signal_number == SIGTERM) g_pending_signal = signal_number;
}

int pending_signal() { return g_pending_signal; }

const char* signal_exit_message(int signal_number) {
  return signal_number == SIGHUP ? "Hangup signal caught.  Exiting."
                                 : "Terminate signal caught.  Exiting.";
}

}  // namespace marlobex
