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

// The UTF-8 encodings of the C1 controls U+0080 to U+009F: this lead byte
// and a second byte from 0x80 to 0x9f.
constexpr unsigned char c1_lead = 0xc2;
constexpr unsigned char c1_last = 0x9f;

// The number of bytes at `text` that could forge a line or drive the
// terminal, as one control: 1 for a C0 control other than tab or for DEL, 2
// for a C1 control in UTF-8, 0 for a harmless byte.
std::size_t unsafe_length(const unsigned char* text, std::size_t length) {
  const unsigned char byte = text[0];
  if ((byte < 0x20 && byte != '\t') || byte == 0x7f) return 1;
  if (byte == c1_lead && length > 1 && text[1] >= 0x80 && text[1] <= c1_last) {
    return 2;
  }
  return 0;
}

// Tells whether none of eight bytes is below 0x20, DEL or the lead byte of a
// C1 control; a tab or a lead byte of something else among them makes it
// false too, and they are then tested one by one.
bool is_safe_word(const unsigned char* bytes) {
  constexpr std::uint64_t ones = 0x0101010101010101U;
  constexpr std::uint64_t highs = 0x8080808080808080U;
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  const std::uint64_t rubout = word ^ (0x7f * ones);
  const std::uint64_t lead = word ^ (c1_lead * ones);
  return ((((word - 0x20 * ones) & ~word) | ((rubout - ones) & ~rubout) |
           ((lead - ones) & ~lead)) &
          highs) == 0;
}

// The length of the leading run of bytes that need no escape: a sentence is
// mostly such bytes, so they are tested eight at a time where possible.
std::size_t safe_prefix_length(const unsigned char* text, std::size_t length) {
  std::size_t at = 0;
  while (at < length) {
    if (length - at >= sizeof(std::uint64_t) && is_safe_word(text + at)) {
      at += sizeof(std::uint64_t);
    } else if (unsafe_length(text + at, length - at) == 0) {
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
    if (text == end) break;
    const auto* control_end = text + unsafe_length(text, end - text);
    for (; text != control_end; ++text) {
      *out++ = '\\';
      *out++ = 'x';
      *out++ = hex_digits[*text >> 4];
      *out++ = hex_digits[*text & 0xf];
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
