#include "common/console.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ext/stdio_filebuf.h>
#include <iostream>

namespace {

// Waits until the file under `in` has input; false if it is no file or the
// wait fails.
bool wait_for_input(std::istream& in) {
  auto* file = dynamic_cast<__gnu_cxx::stdio_filebuf<char>*>(in.rdbuf());
  if (file == nullptr) return false;
  pollfd input = {file->fd(), POLLIN, 0};
  int ready;
  while ((ready = poll(&input, 1, -1)) < 0 && errno == EINTR) {
  }
  return ready > 0;
}

// The rest of a cut line must be seen to be longer than a stop sentence,
// the word and a carriage return, before a piece is cut off.
constexpr std::size_t window_lookahead = sizeof stop_word;

// Reads the next part of a line into the free end of the reader's window.
line_status read_more(std::istream& in, line_reader& reader) {
  char* end = reader.text + reader.held;
  const std::size_t room = sizeof reader.text - reader.held;
  const line_status status = read_line(in, end, room);
  if (status == line_status::none || status == line_status::failed) {
    return status;
  }
  // A zero byte ends the sentence: the line's bytes after it are never sent.
  const std::size_t length = std::strlen(end);
  const bool cut_short = status == line_status::too_long;
  reader.held += length;
  reader.line_open = cut_short && length == room - 1;
  reader.skip_rest = cut_short && length < room - 1;
  return status;
}

}  // namespace

void open_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    // open gives the lowest free descriptor, which is this one.
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
  }
}

line_status read_line(std::istream& in, char* text, std::size_t size) {
  std::size_t stored = 0;
  while (in.getline(text + stored, static_cast<std::streamsize>(size - stored))
             .bad()) {
    // A non-blocking input with nothing yet: wait, then go on with the line.
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || !wait_for_input(in)) {
      return line_status::failed;
    }
    stored += static_cast<std::size_t>(in.gcount());
    in.clear();
  }
  if (!in.fail()) return line_status::whole;
  // getline fails at end of input only when it took nothing; otherwise it
  // failed because the line did not fit, and the rest waits for the next read.
  if (in.eof()) return stored > 0 ? line_status::whole : line_status::none;
  in.clear();
  return line_status::too_long;
}

line_status read_word(std::istream& in, char* text, std::size_t size) {
  for (;;) {
    const line_status status = read_line(in, text, size);
    if (status == line_status::none || status == line_status::failed) {
      return status;
    }
    const auto is_blank = [](char c) {
      return std::isspace(static_cast<unsigned char>(c)) != 0;
    };
    const char* start = text;
    while (*start != '\0' && is_blank(*start)) ++start;
    if (*start != '\0') {
      const char* end = start;
      while (*end != '\0' && !is_blank(*end)) ++end;
      const std::size_t length = end - start;
      std::memmove(text, start, length);
      text[length] = '\0';
      return line_status::whole;
    }
  }
}

line_status next_sentence(std::istream& in, line_reader& reader,
                          char (&sentence)[message_buffer_size]) {
  if (reader.held == 0 && !reader.line_open) {
    // The last line is all sent: drop what followed a zero byte in it, then
    // take the next.
    while (reader.skip_rest) {
      const line_status status = read_line(in, reader.text, sizeof reader.text);
      if (status == line_status::none || status == line_status::failed) {
        return status;
      }
      reader.skip_rest = status == line_status::too_long;
    }
    const line_status status = read_more(in, reader);
    if (status == line_status::none || status == line_status::failed) {
      return status;
    }
  }
  while (reader.line_open &&
         reader.held <= longest_sentence + window_lookahead) {
    const line_status status = read_more(in, reader);
    if (status == line_status::failed) return status;
  }
  const std::size_t length = next_piece_length(reader.text, reader.held);
  std::memcpy(sentence, reader.text, length);
  sentence[length] = '\0';
  reader.held -= length;
  std::memmove(reader.text, reader.text + length, reader.held);
  return line_status::whole;
}

void show_prompt(const char* program, const char* prompt) {
  if (std::cout.good() && !(std::cout << prompt).flush()) {
    report_failure(program, "cannot write prompt");
  }
}

void end_unanswered_prompt() {
  const int error = errno;
  if (isatty(STDOUT_FILENO) != 0) std::cout << std::endl;
  errno = error;
}

bool ask_line(const char* program, const char* prompt, const char* what,
              char* text, std::size_t size) {
  show_prompt(program, prompt);
  const line_status status = read_line(std::cin, text, size);
  if (status == line_status::failed || status == line_status::none) {
    end_unanswered_prompt();
    if (status == line_status::failed) {
      report_failure(program, "cannot read input");
    } else {
      tell(program, "no %s given", what);
    }
    return false;
  }
  std::size_t length = std::strlen(text);
  if (length > 0 && text[length - 1] == '\r') text[--length] = '\0';
  if (status == line_status::too_long || length > size - 1 - line_end_room) {
    tell(program, "%s too long", what);
    return false;
  }
  return true;
}

namespace {

// Formats a diagnostic line whole and writes it with one call, if standard
// error is ready for it or `wait` allows a wait.
bool write_message(bool wait, const char* program, const char* format,
                   va_list arguments) {
  char line[message_line_size];
  const int prefix = std::snprintf(line, sizeof line, "%s: ", program);
  if (prefix < 0) return false;
  std::size_t length = static_cast<std::size_t>(prefix);
  if (length < sizeof line) {
    // The callers start `arguments`, which the analyser does not follow.
    const int text = std::vsnprintf(  // NOLINT(clang-analyzer-valist.*)
        line + length, sizeof line - length, format, arguments);
    if (text < 0) return false;
    length += static_cast<std::size_t>(text);
  }
  // A line too long for the buffer keeps its start, and still ends.
  length = std::min(length, sizeof line - 1);
  line[length++] = '\n';
  pollfd ready = {STDERR_FILENO, POLLOUT, 0};
  if (!wait && (poll(&ready, 1, 0) != 1 || (ready.revents & POLLOUT) == 0)) {
    return false;
  }
  return write(STDERR_FILENO, line, length) == static_cast<ssize_t>(length);
}

}  // namespace

bool tell(const char* program, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const bool told = write_message(true, program, format, arguments);
  va_end(arguments);
  return told;
}

bool tell_at_once(const char* program, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const bool told = write_message(false, program, format, arguments);
  va_end(arguments);
  return told;
}

int report_failure(const char* program, const char* what) {
  const int error = errno;
  tell(program, "%s: %s", what, std::strerror(error));
  return 1;
}
