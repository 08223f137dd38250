#ifndef COMMON_CONSOLE_H_
#define COMMON_CONSOLE_H_

#include <cstddef>
#include <istream>

// How one console read ended.
enum class line_status {
  whole,     // a whole line, or the last line without a line end
  too_long,  // the first size - 1 bytes of a longer line; the rest is next
  none,      // end of input or a failed read: no text
};

// Reads a line of at most size - 1 bytes into `text`, dropping its line end.
line_status read_line(std::istream& in, char* text, std::size_t size);

// Writes `prompt` and reads the answer, of at most size - 1 bytes, into
// `text`; if there is none or it is longer, says so with `missing` or
// `too_long` on standard error and returns false.
bool ask_line(const char* prompt, char* text, std::size_t size,
              const char* missing, const char* too_long);

// Writes "<program>: <what>: <reason of errno>" to standard error; returns the
// exit status of a failure.
int report_failure(const char* program, const char* what);

#endif  // COMMON_CONSOLE_H_
