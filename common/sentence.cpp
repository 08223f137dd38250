#include "common/sentence.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

// The number that a port text begins with, after white space and a sign.
struct port_number {
  bool negative = false;
  std::uint16_t low_bits = 0;  // its low 16 bits
  bool beyond_ports = false;   // more than the largest port
};

port_number read_port_number(const char* text) {
  constexpr unsigned long largest_port = 65535;
  port_number number;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (std::isspace(*p) != 0) ++p;
  number.negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  // Digits accumulate modulo 65536 in unsigned arithmetic: the low 16 bits
  // of any number, however long, without the overflow atoi would meet.
  unsigned long value = 0;
  for (; std::isdigit(*p) != 0; ++p) {
    number.low_bits =
        static_cast<std::uint16_t>(number.low_bits * 10U + (*p - '0'));
    if (value <= largest_port) value = value * 10 + (*p - '0');
  }
  number.beyond_ports = value > largest_port;
  return number;
}

}  // namespace

std::uint16_t parse_port(const char* text) {
  const port_number number = read_port_number(text);
  return htons(number.negative
                   ? static_cast<std::uint16_t>(0U - number.low_bits)
                   : number.low_bits);
}

bool port_in_range(const char* text) {
  const port_number number = read_port_number(text);
  return !number.beyond_ports && (!number.negative || number.low_bits == 0);
}

bool is_port_number(const char* text, std::size_t length) {
  return length > 0 && std::all_of(text, text + length, [](char byte) {
           return std::isdigit(static_cast<unsigned char>(byte)) != 0;
         });
}

namespace {

constexpr std::size_t stop_word_length = sizeof stop_word - 1;

// Tells whether `length` bytes of text are the stop word, alone or followed
// by a carriage return.
bool is_stop_text(const char* text, std::size_t length) {
  return (length == stop_word_length ||
          (length == stop_word_length + 1 && text[stop_word_length] == '\r')) &&
         std::memcmp(text, stop_word, stop_word_length) == 0;
}

// A UTF-8 character is a lead byte and up to three continuation bytes.
constexpr std::size_t longest_character = 4;

bool is_continuation(unsigned char byte) { return (byte & 0xc0) == 0x80; }

// The bytes that a UTF-8 lead byte announces, or 1 for any other byte.
std::size_t announced_length(unsigned char byte) {
  if ((byte & 0xe0) == 0xc0) return 2;
  if ((byte & 0xf0) == 0xe0) return 3;
  if ((byte & 0xf8) == 0xf0) return 4;
  return 1;
}

// Moves a cut before byte `cut` back to the start of the UTF-8 character that
// the byte continues; a cut between characters, or in bytes that are not
// UTF-8, stays where it is.
std::size_t character_start(const unsigned char* text, std::size_t cut) {
  std::size_t start = cut;
  while (start > 0 && cut - start < longest_character - 1 &&
         is_continuation(text[start])) {
    --start;
  }
  return start < cut && announced_length(text[start]) > cut - start ? start
                                                                    : cut;
}

}  // namespace

bool is_stop_sentence(const char* sentence) {
  return is_stop_text(sentence, strnlen(sentence, stop_word_length + 2));
}

std::size_t next_piece_length(const char* rest, std::size_t length) {
  if (length <= longest_sentence) return length;
  const auto* text = reinterpret_cast<const unsigned char*>(rest);
  std::size_t cut = character_start(text, longest_sentence);
  // A last piece that reads as the stop word would end the exchange in the
  // middle of a line: it takes one more character instead.
  if (is_stop_text(rest + cut, length - cut)) {
    cut = character_start(text, cut - 1);
  }
  return cut;
}

bounded_sentence bound_sentence(char (&buffer)[message_buffer_size],
                                std::size_t received) {
  const std::size_t limit = std::min(received, max_shown_length);
  const void* zero = std::memchr(buffer, '\0', limit);
  const std::size_t length =
      zero != nullptr ? static_cast<const char*>(zero) - buffer : limit;
  // A full buffer without a terminator among the bytes shown held more.
  const bool cut = zero == nullptr && received > max_shown_length &&
                   buffer[max_shown_length] != '\0';
  buffer[length] = '\0';
  return {length, cut};
}
