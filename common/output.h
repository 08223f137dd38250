// The server's sender lines, gathered in memory and written out together.
#ifndef COMMON_OUTPUT_H_
#define COMMON_OUTPUT_H_

#include <cstddef>

#include "common/exchange.h"

// The most bytes of lines gathered for one write: some two batches of the
// longest sentences.
constexpr std::size_t output_buffer_size =
    2 * receive_batch * message_buffer_size;

// Lines gathered and not yet written.
struct line_output {
  char text[output_buffer_size];
  std::size_t used = 0;
};

// Adds the sender line of a sentence of `length` bytes from `address`, first
// writing out to `fd` what is gathered when the longest line might not fit;
// false if that write failed.
bool add_line(line_output& output, int fd, const char* address,
              const char* sentence, std::size_t length);

// Writes every gathered line to `fd`, waiting while a non-blocking output is
// full; false if writing failed, errno telling why.
bool write_out(line_output& output, int fd);

#endif  // COMMON_OUTPUT_H_
