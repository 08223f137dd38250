// The rules of the exchange: the port a text names, the stop rule, where a
// long typed line is cut into sentences, and how a received payload is
// bounded.
#ifndef COMMON_SENTENCE_H_
#define COMMON_SENTENCE_H_

#include <cstddef>
#include <cstdint>

#include "common/sizes.h"

// The word that ends the exchange.
constexpr char stop_word[] = "Quit";

// Reads a port text as atoi does and keeps its low 16 bits, in network order.
std::uint16_t parse_port(const char* text);

// Tells whether the number that a port text begins with, read as parse_port
// reads it, is one from 0 to 65535, which parse_port keeps as it is; a text
// without a number is port 0, and so in range.
bool port_in_range(const char* text);

// Tells whether the `length` bytes of `text` write a port plainly: digits,
// and nothing else.
bool is_port_number(const char* text, std::size_t length);

// Tells whether a sentence ends the exchange: the stop word, alone or
// followed by the carriage return of a CR LF line end.
bool is_stop_sentence(const char* sentence);

// Gives the length of the next sentence to send from the unsent rest of a
// typed line: all of it when it fits, otherwise a cut that falls inside no
// UTF-8 character and leaves no rest that reads as the stop word.
std::size_t next_piece_length(const char* rest, std::size_t length);

// A received sentence, terminated in its buffer.
struct bounded_sentence {
  std::size_t length;
  bool cut;  // the sentence went on beyond the bytes that can be shown
};

// Cuts a received payload at its first zero byte, at the end of the received
// bytes or at the last byte of the buffer, whichever comes first, and
// terminates it there.
bounded_sentence bound_sentence(char (&buffer)[message_buffer_size],
                                std::size_t received);

#endif  // COMMON_SENTENCE_H_
