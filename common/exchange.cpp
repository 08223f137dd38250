#include "common/exchange.h"

#include <arpa/inet.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)
// SSE2 is on every x86-64 machine; others take the eight-byte path below.

// Bytes looked at in one step.
constexpr std::size_t block_size = sizeof(__m128i);

// The offset in a block of its first byte that may need an escape: below
// 0x20 (tab among them), DEL, or the lead byte of a C1 control; the block's
// size if there is none.
std::size_t first_suspect(const unsigned char* bytes) {
  const __m128i block =
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
  const __m128i last_control = _mm_set1_epi8(0x1f);
  const __m128i suspects = _mm_or_si128(
      _mm_cmpeq_epi8(_mm_max_epu8(block, last_control), last_control),
      _mm_or_si128(
          _mm_cmpeq_epi8(block, _mm_set1_epi8(0x7f)),
          _mm_cmpeq_epi8(block, _mm_set1_epi8(static_cast<char>(c1_lead)))));
  const int mask = _mm_movemask_epi8(suspects);
  return mask == 0 ? block_size : static_cast<std::size_t>(__builtin_ctz(mask));
}

#else

constexpr std::size_t block_size = sizeof(std::uint64_t);

// 0 if any of eight bytes may need an escape (see above), else 8.
std::size_t first_suspect(const unsigned char* bytes) {
  constexpr std::uint64_t ones = 0x0101010101010101U;
  constexpr std::uint64_t highs = 0x8080808080808080U;
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  const std::uint64_t rubout = word ^ (0x7f * ones);
  const std::uint64_t lead = word ^ (c1_lead * ones);
  const bool suspect =
      ((((word - 0x20 * ones) & ~word) | ((rubout - ones) & ~rubout) |
        ((lead - ones) & ~lead)) &
       highs) != 0;
  return suspect ? 0 : block_size;
}

#endif

// The length of the leading run of bytes that need no escape: a sentence is
// mostly such bytes, so they are looked at a block at a time where possible.
std::size_t safe_prefix_length(const unsigned char* text, std::size_t length) {
  std::size_t at = 0;
  while (at < length) {
    if (length - at >= block_size) {
      const std::size_t suspect = first_suspect(text + at);
      at += suspect;
      if (suspect == block_size) continue;
    }
    if (unsafe_length(text + at, length - at) != 0) break;
    ++at;
  }
  return at;
}

// Writes a sentence, at most max_shown_length bytes of it, into `out` with
// every control escaped; returns the bytes written.
std::size_t escape_sentence(const char* sentence, std::size_t length,
                            char* out) {
  static constexpr char hex_digits[] = "0123456789abcdef";
  const char* start = out;
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
  return out - start;
}

}  // namespace

std::size_t format_sender_line(const char* address, const char* sentence,
                               std::size_t length, char* line) {
  char* out = line;
  out = std::copy(address, address + strnlen(address, dotted_address_size - 1),
                  out);
  out = std::copy(says_separator, says_separator + sizeof says_separator - 1,
                  out);
  out += escape_sentence(sentence, length, out);
  *out++ = '\n';
  return out - line;
}
