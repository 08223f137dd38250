#include "common/exchange.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstring>

std::uint16_t parse_port(const char* text) {
  // Digits accumulate modulo 65536 in unsigned arithmetic: the low 16 bits of
  // any number, however long, without the overflow atoi would meet.
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (std::isspace(*p) != 0) ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  std::uint16_t port = 0;
  for (; std::isdigit(*p) != 0; ++p) {
    port = static_cast<std::uint16_t>(port * 10U + (*p - '0'));
  }
  if (negative) port = static_cast<std::uint16_t>(0U - port);
  return htons(port);
}

bool is_stop_sentence(const char* sentence) {
  const std::size_t word_length = sizeof stop_word - 1;
  if (std::strncmp(sentence, stop_word, word_length) != 0) return false;
  const char* rest = sentence + word_length;
  return rest[0] == '\0' || (rest[0] == '\r' && rest[1] == '\0');
}

std::size_t bound_sentence(char (&buffer)[message_buffer_size],
                           std::size_t received) {
  const std::size_t limit = std::min(received, max_shown_length);
  const void* zero = std::memchr(buffer, '\0', limit);
  const std::size_t length =
      zero != nullptr ? static_cast<const char*>(zero) - buffer : limit;
  buffer[length] = '\0';
  return length;
}

namespace {

// Tells whether a received byte could forge a line or drive the terminal.
bool is_unsafe_byte(unsigned char byte) {
  return (byte < 0x20 && byte != '\t') || byte == 0x7f;
}

}  // namespace

std::size_t format_sender_line(const char* address, const char* sentence,
                               std::size_t length,
                               char (&line)[sender_line_size]) {
  static constexpr char hex_digits[] = "0123456789abcdef";
  char* out = line;
  out = std::copy(address, address + strnlen(address, dotted_address_size - 1),
                  out);
  out = std::copy(says_separator, says_separator + sizeof says_separator - 1,
                  out);
  const auto* text = reinterpret_cast<const unsigned char*>(sentence);
  for (const auto* end = text + std::min(length, max_shown_length); text != end;
       ++text) {
    if (is_unsafe_byte(*text)) {
      *out++ = '\\';
      *out++ = 'x';
      *out++ = hex_digits[*text >> 4];
      *out++ = hex_digits[*text & 0xf];
    } else {
      *out++ = static_cast<char>(*text);
    }
  }
  *out++ = '\n';
  return out - line;
}
