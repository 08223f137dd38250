// Untrusted bytes shown on a console: every byte that could forge a line or
// drive the terminal is shown escaped, as a backslash, "x" and two hex
// digits.
#ifndef COMMON_ESCAPE_H_
#define COMMON_ESCAPE_H_

#include <cstddef>

// An escaped byte takes this many.
constexpr std::size_t escaped_byte_size = 4;

// Writes the `length` bytes at `text` into `out`, which has room for
// escaped_byte_size times as many, with every control (C0 but tab, DEL, and
// C1 in UTF-8) escaped; gives the bytes written.
std::size_t escape_controls(const char* text, std::size_t length, char* out);

// Writes into `out`, which has room for `size` bytes, as much of the
// `length` bytes at `text` as fits escaped, and a terminator; gives `out`,
// to repeat in a message what was typed or given.
const char* shown_text(const char* text, std::size_t length, char* out,
                       std::size_t size);

#endif  // COMMON_ESCAPE_H_
