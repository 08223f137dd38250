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

// Tells whether none of eight bytes is below 0x20 or equal to 0x7f; a tab
// among them makes it false too, and they are then tested one by one.
bool is_safe_word(const unsigned char* bytes) {
  constexpr std::uint64_t ones = 0x0101010101010101U;
  constexpr std::uint64_t highs = 0x8080808080808080U;
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  const std::uint64_t rubout = word ^ (0x7f * ones);
  return ((((word - 0x20 * ones) & ~word) | ((rubout - ones) & ~rubout)) &
          highs) == 0;
}

// The length of the leading run of bytes that need no escape: a sentence is
// mostly such bytes, so they are tested eight at a time where possible.
std::size_t safe_prefix_length(const unsigned char* text, std::size_t length) {
  std::size_t at = 0;
  while (at < length) {
    if (length - at >= sizeof(std::uint64_t) && is_safe_word(text + at)) {
      at += sizeof(std::uint64_t);
    } else if (!is_unsafe_byte(text[at])) {
      ++at;
    } else {
      break;
    }
  }
  return at;
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
  const auto* end = text + std::min(length, max_shown_length);
  while (text != end) {
    const std::size_t safe = safe_prefix_length(text, end - text);
    out = std::copy(text, text + safe, out);
    text += safe;
    if (text != end) {
      *out++ = '\\';
      *out++ = 'x';
      *out++ = hex_digits[*text >> 4];
      *out++ = hex_digits[*text & 0xf];
      ++text;
    }
  }
  *out++ = '\n';
  return out - line;
}

std::size_t format_received(char (&buffer)[message_buffer_size],
                            std::size_t received, const char* address,
                            char (&line)[sender_line_size]) {
  const std::size_t length = bound_sentence(buffer, received);
  return format_sender_line(address, buffer, length, line);
}
