#include "common/output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

static_assert(output_buffer_size >= sender_line_size,
              "the longest sender line fits in the output");

bool add_line(line_output& output, int fd, const char* address,
              const char* sentence, std::size_t length) {
  if (output.used + sender_line_size > sizeof output.text &&
      !write_out(output, fd)) {
    return false;
  }
  output.used +=
      format_sender_line(address, sentence, length, output.text + output.used);
  return true;
}

bool write_out(line_output& output, int fd) {
  std::size_t written = 0;
  while (written < output.used) {
    const ssize_t n = write(fd, output.text + written, output.used - written);
    if (n >= 0) {
      written += static_cast<std::size_t>(n);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd writable = {fd, POLLOUT, 0};
      if (poll(&writable, 1, -1) < 0 && errno != EINTR) return false;
    } else if (errno != EINTR) {
      return false;
    }
  }
  output.used = 0;
  return true;
}
