#pragma once

#include <csignal>
#include <string>

namespace marlobex {

/// Which process daemon start-up left this one as.
enum class DaemonStart { Daemon, ForkingParent, ForkFailed, LockFailed, AlreadyRunning };

/// Makes the process a daemon: one fork, a new session, every descriptor closed, standard streams
/// on /dev/null, umask 027, the installation directory as working directory, the instance lock
/// with the process id, and the signal dispositions. Only the process that says Daemon goes on; a
/// process started by process 1 is taken to be a daemon already and says so at once.
DaemonStart daemonize();

/// Raises the soft limit on open descriptors to the hard limit: every link holds a listening
/// socket and a recorder connection.
void raise_descriptor_limit();

/// The lock step on its own: opens `path` (O_RDWR|O_CREAT|O_NONBLOCK, 0640) and takes the lock.
/// Returns the descriptor, -1 when the file cannot be opened or is not a regular file, -2 when
/// another process holds it.
/// On success the file holds this process's id and nothing else.
int take_instance_lock(const std::string& path);

/// Records SIGHUP and SIGTERM for the main loop; any other signal changes nothing.
void signal_handler(int signal_number);

/// The signal recorded by signal_handler and not yet acted on, or 0.
int pending_signal();

/// The log line that ends the run for a recorded signal.
const char* signal_exit_message(int signal_number);

}  // namespace marlobex
