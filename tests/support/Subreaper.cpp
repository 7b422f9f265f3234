// subreaper STATUS_FILE COMMAND [ARGUMENTS...]
//
// Runs COMMAND as a child subreaper, so that every descendant which outlives its own parent (a
// daemon after its fork, say) is reparented here and its exit status can be collected. Each
// process reaped appends one line to STATUS_FILE: "<pid> exited <status>" or "<pid> killed
// <signal>"; the first line is "child <pid>" for COMMAND itself. Ends when no descendant is left.
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace {

void append_line(const char* path, const std::string& line) {
  std::ofstream out(path, std::ios::app);
  out << line << '\n';
}

std::string describe(pid_t pid, int status) {
  if (WIFEXITED(status)) return std::to_string(pid) + " exited " + std::to_string(WEXITSTATUS(status));
  return std::to_string(pid) + " killed " + std::to_string(WTERMSIG(status));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: subreaper STATUS_FILE COMMAND [ARGUMENTS...]\n");
    return 2;
  }
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    std::perror("prctl(PR_SET_CHILD_SUBREAPER)");
    return 2;
  }
  const pid_t child = fork();
  if (child < 0) {
    std::perror("fork");
    return 2;
  }
  if (child == 0) {
    execvp(argv[2], argv + 2);
    std::perror("execvp");
    _exit(127);
  }
  append_line(argv[1], "child " + std::to_string(child));
  for (;;) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    if (pid > 0) {
      append_line(argv[1], describe(pid, status));
    } else if (errno != EINTR) {
      break;  // ECHILD: nothing left to collect
    }
  }
  return 0;
}
