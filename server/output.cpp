#include "server/output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

stream open_stream(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return {fd, stream_kind::careful};
  if (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode)) {
    return {fd, stream_kind::file};
  }
  if (S_ISSOCK(status.st_mode)) return {fd, stream_kind::socket};
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) != 0) {
    return {fd, stream_kind::nonblocking};
  }
  // Opened by its name in /proc, a pipe or terminal gets a description of
  // its own; where that fails (no /proc, another user's terminal), the
  // inherited one is written with care.
  char path[sizeof "/proc/self/fd/-2147483648"];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  const int own = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat opened {};
  if (own >= 0 && fstat(own, &opened) == 0 && opened.st_dev == status.st_dev &&
      opened.st_ino == status.st_ino) {
    return {own, stream_kind::nonblocking};
  }
  if (own >= 0) close(own);
  return {fd, stream_kind::careful};
}

ssize_t write_now(const stream& s, const char* data, std::size_t size) {
  ssize_t n;
  if (s.kind == stream_kind::socket) {
    n = send(s.fd, data, size, MSG_DONTWAIT);
  } else if (s.kind == stream_kind::careful) {
    // Ready, a pipe takes at least this much without waiting.
    pollfd ready = {s.fd, POLLOUT, 0};
    if (poll(&ready, 1, 0) == 0) return 0;
    n = write(s.fd, data, std::min<std::size_t>(size, PIPE_BUF));
  } else {
    n = write(s.fd, data, size);
  }
  if (n >= 0) return n;
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

void start_telling(server_output& output, const losses& lost,
                   const char* failure, int error) {
  std::size_t length = 0;
  if (failure != nullptr) {
    const int n = std::snprintf(output.told, sizeof output.told, "%s: %s: %s\n",
                                output.program, failure, std::strerror(error));
    length = std::min(static_cast<std::size_t>(std::max(n, 0)),
                      sizeof output.told - 1);
  }
  length += format_losses(output.program, lost, output.told + length,
                          sizeof output.told - length);
  output.told_size = length;
  output.told_sent = 0;
  output.telling = lost;
}

write_state write_told(server_output& output) {
  while (output.told_sent < output.told_size) {
    const ssize_t n = write_now(output.err, output.told + output.told_sent,
                                output.told_size - output.told_sent);
    if (n == 0) return write_state::err_waits;
    // Standard error that fails (a terminal gone, say) loses the lines, and
    // only them.
    output.told_sent = n < 0 ? output.told_size
                             : output.told_sent + static_cast<std::size_t>(n);
  }
  return write_state::empty;
}

write_state write_queue(server_output& output, line_queue& queue) {
  for (;;) {
    if (write_told(output) == write_state::err_waits) {
      return write_state::err_waits;
    }
    if (losses_due(queue)) {
      start_telling(output, take_losses(queue));
      continue;
    }
    const stretch lines = next_lines(queue);
    if (lines.size == 0) return write_state::empty;
    const ssize_t n = write_now(output.out, lines.data, lines.size);
    if (n < 0) return write_state::failed;
    if (n == 0) return write_state::out_waits;
    take_written(queue, static_cast<std::size_t>(n));
  }
}
