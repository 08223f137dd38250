#include "server/output.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "server/signals.h"

static_assert(output_buffer_size >= sender_line_size,
              "the longest sender line fits in the output");

write_end add_line(line_output& output, int fd, const char* address,
                   const char* sentence, std::size_t length) {
  if (output.used + sender_line_size > sizeof output.text) {
    const write_end end = write_out(output, fd);
    if (end != write_end::done) return end;
  }
  output.used +=
      format_sender_line(address, sentence, length, output.text + output.used);
  return write_end::done;
}

write_end write_out(line_output& output, int fd,
                    std::chrono::steady_clock::time_point grace) {
  while (output.written < output.used) {
    const ssize_t n =
        write(fd, output.text + output.written, output.used - output.written);
    if (n >= 0) {
      output.written += static_cast<std::size_t>(n);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd writable = {fd, POLLOUT, 0};
      if (poll(&writable, 1, -1) < 0 && errno != EINTR)
        return write_end::failed;
    } else if (errno != EINTR) {
      return write_end::failed;
    }
    // Only a signal cuts a blocking write short, so the flag is looked at
    // after each call rather than before.
    if (stop_signal() != 0 && std::chrono::steady_clock::now() >= grace &&
        output.written < output.used) {
      return write_end::stopped;
    }
  }
  output.used = 0;
  output.written = 0;
  return write_end::done;
}

std::size_t unwritten_lines(const line_output& output) {
  return static_cast<std::size_t>(std::count(output.text + output.written,
                                             output.text + output.used, '\n'));
}
