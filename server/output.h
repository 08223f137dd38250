// The server's sender lines, gathered in memory and written out together.
#ifndef SERVER_OUTPUT_H_
#define SERVER_OUTPUT_H_

#include <chrono>
#include <cstddef>

#include "common/sizes.h"
#include "server/receiving.h"
#include "server/sender_line.h"

// The most bytes of lines gathered for one write: some two batches of the
// longest sentences.
constexpr std::size_t output_buffer_size =
    2 * receive_batch * message_buffer_size;

// Lines gathered, and how much of them has gone out.
struct line_output {
  char text[output_buffer_size];
  std::size_t used = 0;
  std::size_t written = 0;
};

// How a write of the gathered lines ended.
enum class write_end {
  done,     // every line is out
  stopped,  // a stop signal came first
  failed,   // the output failed; errno tells why
};

// Adds the sender line of a sentence of `length` bytes from `address`, first
// writing out to `fd` what is gathered when the longest line might not fit.
write_end add_line(line_output& output, int fd, const char* address,
                   const char* sentence, std::size_t length);

// Writes the gathered lines to `fd`, waiting while a non-blocking output is
// full. A call that a stop signal cuts short ends the writing, at once or,
// with a `grace` deadline, once that has passed.
write_end write_out(line_output& output, int fd,
                    std::chrono::steady_clock::time_point grace = {});

// The lines gathered that have not gone out whole.
std::size_t unwritten_lines(const line_output& output);

#endif  // SERVER_OUTPUT_H_
