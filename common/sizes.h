// Sizes and limits that the server and the client agree on, and those of
// the console code they share.
#ifndef COMMON_SIZES_H_
#define COMMON_SIZES_H_

#include <cstddef>

// Each program holds one sentence and its zero byte in a buffer of this size;
// a receiver sees at most this many bytes of a datagram.
constexpr std::size_t message_buffer_size = 1024;

// The longest sentence the client sends: the datagram's last byte is the
// terminator.
constexpr std::size_t longest_sentence = message_buffer_size - 2;

// The longest text a received datagram can show: the last byte of the message
// buffer stays free for the terminator.
constexpr std::size_t max_shown_length = message_buffer_size - 1;

// An answer's buffer has room besides for the carriage return of a CR LF
// line end, which is dropped.
constexpr std::size_t line_end_room = 1;

// The client reads a typed line through a window that holds a whole sentence
// and what follows it, enough to see whether the rest of the line would read
// as the stop word before the sentence is cut off.
constexpr std::size_t sentence_window_size = 2 * message_buffer_size;

// Standard input is read this many bytes at a time at most, so that a
// piped file costs few calls.
constexpr std::size_t input_window_size = 16384;

// Room for prompts gathered before the program waits for input; more are
// written out at once.
constexpr std::size_t prompt_buffer_size = 16384;

// Room for one diagnostic line, formatted whole before it is written.
constexpr std::size_t message_line_size = 256;

#endif  // COMMON_SIZES_H_
