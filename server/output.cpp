#include "server/output.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "server/signals.h"

namespace {

// A datagram output that refuses this many sends of one line in a row is
// taken to have failed.
constexpr int most_refusals = 4;

// Makes the timer that cuts the writes of `s` short.
bool make_timer(stream& s) {
  sigevent event{};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = write_timer_signal();
  return timer_create(CLOCK_MONOTONIC, &event, &s.timer) == 0;
}

// Writes to a stream that may make the caller wait, for timed_write_limit at
// most: the timer's signal cuts the write short, and a terminal or pipe
// gives back what it took by then.
ssize_t write_timed(const stream& s, const char* data, std::size_t size) {
  const auto limit =
      std::chrono::duration_cast<std::chrono::nanoseconds>(timed_write_limit);
  itimerspec arm{};
  arm.it_value.tv_nsec = static_cast<long>(limit.count());
  let_timer_through(true);
  timer_settime(s.timer, 0, &arm, nullptr);
  const ssize_t n = write(s.fd, data, size);
  const int error = errno;
  const itimerspec disarm{};
  timer_settime(s.timer, 0, &disarm, nullptr);
  let_timer_through(false);
  errno = error;
  return n;
}

// Sends the lines of the `size` bytes at `data`, a line a datagram, as far
// as the socket takes them. A send that the destination refused goes again:
// the refusal was for an earlier line, which is counted.
ssize_t send_lines(stream& s, const char* data, std::size_t size) {
  std::size_t sent = 0;
  int refusals = 0;
  while (sent < size) {
    const void* end = std::memchr(data + sent, '\n', size - sent);
    const std::size_t line =
        end != nullptr ? static_cast<const char*>(end) - (data + sent) + 1
                       : size - sent;
    if (send(s.fd, data + sent, line, MSG_DONTWAIT) >= 0) {
      sent += line;
      refusals = 0;
    } else if (errno == ECONNREFUSED && ++refusals < most_refusals) {
      ++s.refused;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      break;
    } else {
      return sent > 0 ? static_cast<ssize_t>(sent) : -1;
    }
  }
  return static_cast<ssize_t>(sent);
}

}  // namespace

bool open_stream(int fd, stream& s) {
  s.fd = fd;
  s.kind = stream_kind::file;
  struct stat status {};
  const int flags = fcntl(fd, F_GETFL);
  // A stream that is not open for writing fails at once, as it should.
  if (fstat(fd, &status) != 0 || flags < 0 || (flags & O_ACCMODE) == O_RDONLY ||
      S_ISREG(status.st_mode) || S_ISBLK(status.st_mode)) {
    return true;
  }
  if (S_ISSOCK(status.st_mode)) {
    int type = 0;
    socklen_t length = sizeof type;
    getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length);
    const bool datagrams = type == SOCK_DGRAM || type == SOCK_SEQPACKET;
    s.kind =
        datagrams ? stream_kind::datagram_socket : stream_kind::stream_socket;
    // A refusal that came back for what was written before (the prompt)
    // is no line's.
    int pending = 0;
    length = sizeof pending;
    if (datagrams) getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length);
    return true;
  }
  if ((flags & O_NONBLOCK) != 0) {
    s.kind = stream_kind::nonblocking;
    return true;
  }
  // Opened by its name in /proc, a pipe or terminal gets a description of
  // its own.
  char path[sizeof "/proc/self/fd/-2147483648"];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  const int own = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  s.reopen_error = errno;
  struct stat opened {};
  if (own >= 0 && fstat(own, &opened) == 0 && opened.st_dev == status.st_dev &&
      opened.st_ino == status.st_ino) {
    s.fd = own;
    s.kind = stream_kind::nonblocking;
    return true;
  }
  if (own >= 0) {
    close(own);
    s.reopen_error = EXDEV;  // another file under the same name
  }
  s.kind = stream_kind::timed;
  return make_timer(s);
}

ssize_t write_now(stream& s, const char* data, std::size_t size) {
  ssize_t n;
  switch (s.kind) {
    case stream_kind::stream_socket:
      n = send(s.fd, data, size, MSG_DONTWAIT);
      break;
    case stream_kind::datagram_socket:
      return send_lines(s, data, size);
    case stream_kind::timed:
      n = write_timed(s, data, size);
      break;
    default:
      n = write(s.fd, data, size);
  }
  if (n >= 0) return n;
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

unsigned long late_refusal(const stream& s) {
  int pending = 0;
  socklen_t length = sizeof pending;
  return s.kind == stream_kind::datagram_socket &&
                 getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &pending, &length) ==
                     0 &&
                 pending == ECONNREFUSED
             ? 1
             : 0;
}

namespace {

// Appends `text` to what standard error is to take, if it fits.
void append_told(server_output& output, const char* text, std::size_t size) {
  if (size > sizeof output.told - output.told_size) return;
  std::memcpy(output.told + output.told_size, text, size);
  output.told_size += size;
}

// Appends the line "<program>: <failure>: <reason of error>" and the lines
// that tell `lost`.
void append_losses(server_output& output, const losses& lost,
                   const char* failure, int error) {
  char lines[loss_lines_size];
  std::size_t length = 0;
  if (failure != nullptr) {
    const int n = std::snprintf(lines, sizeof lines, "%s: %s: %s\n",
                                output.program, failure, std::strerror(error));
    length =
        std::min(static_cast<std::size_t>(std::max(n, 0)), sizeof lines - 1);
  }
  length += format_losses(output.program, lost, lines + length,
                          sizeof lines - length);
  append_told(output, lines, length);
}

// Says which stream cannot be written without waiting, and why.
void tell_timed(server_output& output, const stream& s, const char* name) {
  if (s.kind != stream_kind::timed) return;
  char line[message_line_size];
  const int n = std::snprintf(
      line, sizeof line,
      "%s: %s cannot be written without waiting (%s): each write waits a "
      "millisecond at most\n",
      output.program, name, std::strerror(s.reopen_error));
  append_told(
      output, line,
      std::min(static_cast<std::size_t>(std::max(n, 0)), sizeof line - 1));
}

}  // namespace

bool open_output(server_output& output) {
  if (!open_stream(STDOUT_FILENO, output.out) ||
      !open_stream(STDERR_FILENO, output.err)) {
    return false;
  }
  struct stat out {
  }, err{};
  output.shared = fstat(STDOUT_FILENO, &out) == 0 &&
                  fstat(STDERR_FILENO, &err) == 0 && out.st_dev == err.st_dev &&
                  out.st_ino == err.st_ino;
  tell_timed(output, output.out, "standard output");
  tell_timed(output, output.err, "standard error");
  return true;
}

void start_telling(server_output& output, const losses& lost,
                   const char* failure, int error) {
  output.told_size = 0;
  output.told_sent = 0;
  append_losses(output, lost, failure, error);
}

void finish_telling(server_output& output, const losses& lost,
                    const char* failure, int error) {
  // What standard error has not taken stays first: a line begun ends.
  const std::size_t rest = output.told_size - output.told_sent;
  std::memmove(output.told, output.told + output.told_sent, rest);
  output.told_size = rest;
  output.told_sent = 0;
  if (rest == 0 && output.line_open && output.shared) {
    append_told(output, "\n", 1);
  }
  append_losses(output, lost, failure, error);
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

namespace {

// Writes what standard output takes now of `lines`, and takes it off the
// queue; gives empty if it took all, out_waits if not, failed if it failed.
write_state write_lines_of(server_output& output, line_queue& queue,
                           stretch lines) {
  const ssize_t n = write_now(output.out, lines.data, lines.size);
  if (n < 0) return write_state::failed;
  if (n == 0) return write_state::out_waits;
  output.line_open = lines.data[n - 1] != '\n';
  take_written(queue, static_cast<std::size_t>(n));
  return static_cast<std::size_t>(n) == lines.size ? write_state::empty
                                                   : write_state::out_waits;
}

}  // namespace

write_state write_queue(server_output& output, line_queue& queue) {
  for (;;) {
    if (write_told(output) == write_state::err_waits) {
      return write_state::err_waits;
    }
    if (output.out.refused > 0) {
      losses refused;
      refused.refused = output.out.refused;
      output.out.refused = 0;
      start_telling(output, refused);
      continue;
    }
    if (losses_due(queue)) {
      start_telling(output, take_losses(queue));
      continue;
    }
    const stretch lines = next_lines(queue);
    if (lines.size == 0) return write_state::empty;
    const write_state state = write_lines_of(output, queue, lines);
    if (state != write_state::empty) return state;
  }
}

write_state write_line_rest(server_output& output, line_queue& queue) {
  if (!output.line_open) return write_state::empty;
  stretch lines = next_lines(queue);
  const void* end = std::memchr(lines.data, '\n', lines.size);
  if (end != nullptr) {
    lines.size = static_cast<const char*>(end) - lines.data + 1;
  }
  return write_lines_of(output, queue, lines);
}
