#include "log/AppendFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace marlobex {

AppendFile::AppendFile() { setp(buffer_, buffer_ + sizeof buffer_); }

AppendFile::~AppendFile() { close(); }

bool AppendFile::open(const std::string& path, bool truncate) {
  close();
  // Without O_NONBLOCK, a FIFO at the path would hold the open until somebody reads it.
  const int flags = O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | (truncate ? O_TRUNC : 0);
  fd_ = ::open(path.c_str(), flags, 0640);
  if (fd_ >= 0 && !is_regular_file(fd_)) {
    ::close(fd_);
    fd_ = -1;
  }
  return fd_ >= 0;
}

bool is_regular_file(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

void AppendFile::close() {
  if (fd_ < 0) return;
  write_buffered();
  ::close(fd_);
  fd_ = -1;
}

AppendFile::int_type AppendFile::overflow(int_type c) {
  if (!write_buffered()) return traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

int AppendFile::sync() { return write_buffered() ? 0 : -1; }

// Hands the buffered bytes to the kernel; on an error they are dropped and the stream fails.
bool AppendFile::write_buffered() {
  const char* next = pbase();
  const char* const end = pptr();
  bool written = fd_ >= 0;
  while (written && next < end) {
    const ssize_t count = ::write(fd_, next, static_cast<std::size_t>(end - next));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      written = false;
    } else {
      next += count;
    }
  }
  setp(buffer_, buffer_ + sizeof buffer_);
  return written;
}

}  // namespace marlobex
