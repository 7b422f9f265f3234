#pragma once

#include <streambuf>
#include <string>

namespace marlobex {

/// An output stream buffer on a file descriptor that it opens for appending and owns. Every write
/// goes to the end of the file as it is at that moment, so a file truncated by somebody else is
/// written at its new end; the descriptor lets the owner compare the open file with its path.
class AppendFile : public std::streambuf {
 public:
  AppendFile();
  ~AppendFile() override;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  /// Opens `path` for appending, creating it with mode 0640 (less the umask), emptied when
  /// `truncate`; false if it cannot be opened or is not a regular file (a symbolic link counts as
  /// what it leads to). Never waits for a reader. Closes a file already open first.
  bool open(const std::string& path, bool truncate);
  /// Writes what is buffered and closes the file.
  void close();
  bool is_open() const { return fd_ >= 0; }
  /// The open descriptor, or -1.
  int descriptor() const { return fd_; }

 protected:
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  bool write_buffered();

  int fd_ = -1;
  char buffer_[8192];
};

/// Whether `fd` is open on a regular file: not a FIFO, a device, a socket or a directory.
bool is_regular_file(int fd);

}  // namespace marlobex
