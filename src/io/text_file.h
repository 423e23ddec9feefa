// read_text_file: the one way every command reads a file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/expected.h"
#include "base/text_buffer.h"
#include "io/file_status.h"

namespace marblewick {

// Reads a whole file as UTF-8 text, unaltered. Errors, by kind: file_system
// "file name contained an unexpected NUL byte" and "<system description> (os
// error N)", not_regular_file "not a regular file" (FIFOs, sockets,
// devices and files the kernel generates, refused before any read), invalid_utf8 "stream did not contain
// valid UTF-8", out_of_memory "out of memory". Safe to call from several
// threads.
Expected<TextBuffer> read_text_file(std::string_view path);

// A file opened for reading as text: the first steps of read_text_file, shared
// with the streaming digest of large files. Closes the file when destroyed.
class OpenTextFile {
 public:
  explicit OpenTextFile(int fd, std::size_t reported_size) : fd_(fd), reported_size_(reported_size) {}
  OpenTextFile(OpenTextFile&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), reported_size_(other.reported_size_), status_(other.status_) {}
  OpenTextFile(const OpenTextFile&) = delete;
  OpenTextFile& operator=(const OpenTextFile&) = delete;
  OpenTextFile& operator=(OpenTextFile&&) = delete;
  ~OpenTextFile();

  int descriptor() const noexcept { return fd_; }
  // The size the file system reports; 0 when it reports none.
  std::size_t reported_size() const noexcept { return reported_size_; }
  void set_reported_size(std::size_t size) noexcept { reported_size_ = size; }
  // The status of the open file, taken before anything was read from it;
  // none when the system gave none.
  const std::optional<FileStatus>& status() const noexcept { return status_; }
  void set_status(const std::optional<FileStatus>& status) noexcept { status_ = status; }

 private:
  int fd_;
  std::size_t reported_size_;
  std::optional<FileStatus> status_;
};

// The NUL check, the open and the refusal of FIFOs, sockets, devices and
// generated files.
Expected<OpenTextFile> open_text_file(std::string_view path);

// The rest of read_text_file, on a file already opened.
Expected<TextBuffer> read_text_file(const OpenTextFile& file);

// "<description of errno> (os error <errno>)".
std::string os_error_text(int error_number);

}  // namespace marblewick
