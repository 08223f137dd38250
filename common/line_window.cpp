#include "common/line_window.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "common/console.h"

namespace {

// Reads more of standard input into the empty window, writing the gathered
// prompts first, since the read may wait; waits when a non-blocking input
// has nothing yet. False, with errno, if the input cannot be read.
bool fill(console& c) {
  write_prompts(c);
  for (;;) {
    const ssize_t n = read(c.in, c.input, sizeof c.input);
    if (n >= 0) {
      c.start = 0;
      c.end = static_cast<std::size_t>(n);
      c.ended = n == 0;
      return true;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd input = {c.in, POLLIN, 0};
      if (poll(&input, 1, -1) < 0 && errno != EINTR) return false;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

// The rest of a cut line must be seen to be longer than a stop sentence,
// the word and a carriage return, before a piece is cut off.
constexpr std::size_t window_lookahead = sizeof stop_word;

// Reads the next part of a line into the free end of the reader's window.
line_status read_more(console& c, line_reader& reader) {
  char* end = reader.text + reader.held;
  const std::size_t room = sizeof reader.text - reader.held;
  const line_status status = read_line(c, end, room);
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

void show_prompt(console& c, const char* prompt) {
  const std::size_t length = std::strlen(prompt);
  if (c.prompts_held + length > sizeof c.prompts) write_prompts(c);
  if (length > sizeof c.prompts) return;
  std::memcpy(c.prompts + c.prompts_held, prompt, length);
  c.prompts_held += length;
}

void write_prompts(console& c) {
  std::size_t written = 0;
  while (!c.prompts_failed && written < c.prompts_held) {
    const ssize_t n =
        write(c.out, c.prompts + written, c.prompts_held - written);
    if (n >= 0) {
      written += static_cast<std::size_t>(n);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd output = {c.out, POLLOUT, 0};
      poll(&output, 1, -1);
    } else if (errno != EINTR) {
      // The prompts are only there for a person: without them the program
      // goes on.
      report_failure(c.program, "cannot write prompt");
      c.prompts_failed = true;
    }
  }
  c.prompts_held = 0;
}

void end_unanswered_prompt(console& c) {
  const int error = errno;
  write_prompts(c);
  if (!c.prompts_failed && isatty(c.out) != 0 && write(c.out, "\n", 1) < 0) {
    c.prompts_failed = true;
  }
  errno = error;
}

namespace {

// Tells whether standard input and output are one terminal: what is typed
// there is echoed there, its line end too.
bool typed_at_output(const console& c) {
  struct stat in {
  }, out{};
  return isatty(c.in) != 0 && isatty(c.out) != 0 && fstat(c.in, &in) == 0 &&
         fstat(c.out, &out) == 0 && in.st_rdev == out.st_rdev;
}

}  // namespace

void end_input_line(console& c) {
  if (!c.input_line_open) return;
  c.input_line_open = false;
  // Only typed input leaves its line on a terminal, by its echo.
  if (isatty(c.in) == 0) return;
  for (const int fd : {STDERR_FILENO, c.out}) {
    if (isatty(fd) != 0) {
      if (write(fd, "\n", 1) < 0) return;
      return;
    }
  }
}

void end_answered_prompt(console& c) {
  write_prompts(c);
  if (!c.prompts_failed && !typed_at_output(c) && write(c.out, "\n", 1) < 0) {
    c.prompts_failed = true;
  }
}

line_status read_line(console& c, char* text, std::size_t size,
                      std::size_t* length) {
  std::size_t stored = 0;
  // Ends the text read so far, and tells its length if asked.
  const auto ended = [&](line_status status) {
    text[stored] = '\0';
    if (length != nullptr) *length = stored;
    return status;
  };
  for (;;) {
    if (c.start == c.end) {
      if (!c.ended && !fill(c)) return ended(line_status::failed);
      if (c.ended) {
        c.input_line_open = stored > 0;
        return ended(stored > 0 ? line_status::whole : line_status::none);
      }
    }
    const char* from = c.input + c.start;
    const std::size_t take = std::min(c.end - c.start, size - 1 - stored);
    const void* line_end = std::memchr(from, '\n', take);
    const std::size_t piece =
        line_end != nullptr ? static_cast<const char*>(line_end) - from : take;
    std::memcpy(text + stored, from, piece);
    stored += piece;
    c.start += piece;
    if (line_end != nullptr) {
      ++c.start;
      return ended(line_status::whole);
    }
    if (stored == size - 1) {
      // A line that fits exactly is whole: its end comes next.
      if (c.start == c.end && !c.ended && !fill(c)) {
        return ended(line_status::failed);
      }
      if (c.start == c.end) return ended(line_status::whole);
      if (c.input[c.start] != '\n') return ended(line_status::too_long);
      ++c.start;
      return ended(line_status::whole);
    }
  }
}

line_status read_word(console& c, char* text, std::size_t size,
                      std::size_t& length) {
  const auto is_blank = [](char byte) {
    return std::isspace(static_cast<unsigned char>(byte)) != 0;
  };
  // Gives the next byte of the input, or -1 at its end; -2 if it failed.
  const auto next = [&c]() -> int {
    if (c.start == c.end && !c.ended && !fill(c)) return -2;
    return c.start < c.end ? static_cast<unsigned char>(c.input[c.start++])
                           : -1;
  };
  int byte;
  while ((byte = next()) >= 0 && is_blank(static_cast<char>(byte))) {
  }
  length = 0;
  if (byte < 0) {
    text[0] = '\0';
    return byte == -1 ? line_status::none : line_status::failed;
  }
  for (; byte >= 0 && !is_blank(static_cast<char>(byte)); byte = next()) {
    if (length < size - 1) text[length++] = static_cast<char>(byte);
  }
  text[length] = '\0';
  return line_status::whole;
}

bool ask_line(console& c, const char* prompt, const char* what, char* text,
              std::size_t size, std::size_t& length) {
  show_prompt(c, prompt);
  const line_status status = read_line(c, text, size, &length);
  // Whatever comes of the answer, its prompt is on the console.
  write_prompts(c);
  if (status == line_status::failed || status == line_status::none) {
    end_unanswered_prompt(c);
    if (status == line_status::failed) {
      report_failure(c.program, "cannot read input");
    } else {
      tell(c.program, "no %s given", what);
    }
    return false;
  }
  if (length > 0 && text[length - 1] == '\r') text[--length] = '\0';
  if (status == line_status::too_long || length > size - 1 - line_end_room) {
    tell(c.program, "%s too long", what);
    return false;
  }
  return true;
}

line_status next_sentence(console& c, line_reader& reader,
                          char (&sentence)[message_buffer_size]) {
  if (starts_line(reader)) {
    // The last line is all sent: drop what followed a zero byte in it, then
    // take the next.
    while (reader.skip_rest) {
      const line_status status = read_line(c, reader.text, sizeof reader.text);
      if (status == line_status::none || status == line_status::failed) {
        return status;
      }
      reader.skip_rest = status == line_status::too_long;
    }
    const line_status status = read_more(c, reader);
    if (status == line_status::none || status == line_status::failed) {
      return status;
    }
  }
  while (reader.line_open &&
         reader.held <= longest_sentence + window_lookahead) {
    const line_status status = read_more(c, reader);
    if (status == line_status::failed) return status;
  }
  const std::size_t length = next_piece_length(reader.text, reader.held);
  std::memcpy(sentence, reader.text, length);
  sentence[length] = '\0';
  reader.held -= length;
  std::memmove(reader.text, reader.text + length, reader.held);
  return line_status::whole;
}
