// read_text_file. The file is opened non-blocking and its type is checked on
// the open descriptor: a FIFO would otherwise block forever and a character
// device such as /dev/zero would be read until memory runs out, both while the
// caller's interpreter lock is held. A file the kernel generates on a pseudo
// file system is refused the same way: it may be as endless as a device
// (/proc/self/pagemap), and it is no stored text that a digest could
// identify.
#include "io/text_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/error_texts.h"
#include "base/utf8.h"
#include "io/generated_files.h"

namespace marblewick {
namespace {

constexpr std::size_t MIN_READ_CHUNK = 64 * 1024;

}  // namespace

std::string os_error_text(int error_number) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in `buffer`.
  const char* description = strerror_r(error_number, buffer, sizeof buffer);
  std::string text = description;
  text += " (os error ";
  text += std::to_string(error_number);
  text += ')';
  return text;
}

OpenTextFile::~OpenTextFile() {
  if (fd_ >= 0) ::close(fd_);
}

Expected<OpenTextFile> open_text_file(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return nul_in_file_name_error();
  std::string c_path(path);
  int fd;
  do {
    fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ErrorText(ErrorKind::file_system, os_error_text(errno));
  OpenTextFile file(fd, 0);

  struct stat status{};
  if (::fstat(fd, &status) != 0) return file;
  if ((!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) ||
      (S_ISREG(status.st_mode) && is_generated_file(fd, status))) {
    return not_a_regular_file_error();
  }
  file.set_reported_size(status.st_size > 0 ? static_cast<std::size_t>(status.st_size) : 0);
  file.set_status(file_status_of(status));
  return file;
}

Expected<TextBuffer> read_text_file(std::string_view path) {
  Expected<OpenTextFile> opened = open_text_file(path);
  if (!opened) return std::move(opened).error();
  return read_text_file(opened.value());
}

Expected<TextBuffer> read_text_file(const OpenTextFile& file) {
  int fd = file.descriptor();

  TextBuffer text;
  // One allocation sized from the reported size; one byte more lets the read
  // that finds the end of file land without growing the buffer.
  std::size_t expected_size = file.reported_size() > 0 ? file.reported_size() + 1 : MIN_READ_CHUNK;
  if (!text.reserve(expected_size)) return out_of_memory_error();

  std::size_t filled = 0;
  for (;;) {
    if (filled == text.capacity()) {
      // The file is longer than reported: grow geometrically.
      if (!text.reserve(text.capacity() * 2)) return out_of_memory_error();
    }
    ssize_t got = ::read(fd, text.data() + filled, text.capacity() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return ErrorText(ErrorKind::file_system, os_error_text(errno));
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  text.set_size(filled);

  if (!is_valid_utf8(text.view())) return invalid_utf8_error();
  return text;
}

}  // namespace marblewick
