#include "common/escape.h"

#if defined(__SSE2__) && !defined(PORTABLE_SCAN)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>

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

#if defined(__SSE2__) && !defined(PORTABLE_SCAN)
// Every x86-64 machine has SSE2, which looks at sixteen bytes a step: on
// long sentences some tenth cheaper per line than eight bytes a step. The
// tests run on both scans.

// Bytes looked at in one step.
constexpr std::size_t block_size = sizeof(__m128i);

// Tells whether any of sixteen bytes may need an escape: below 0x20 (tab
// among them), DEL, or the lead byte of a C1 control.
bool has_suspect(const unsigned char* bytes) {
  const __m128i block =
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
  const __m128i last_control = _mm_set1_epi8(0x1f);
  const __m128i suspects = _mm_or_si128(
      _mm_cmpeq_epi8(_mm_max_epu8(block, last_control), last_control),
      _mm_or_si128(
          _mm_cmpeq_epi8(block, _mm_set1_epi8(0x7f)),
          _mm_cmpeq_epi8(block, _mm_set1_epi8(static_cast<char>(c1_lead)))));
  return _mm_movemask_epi8(suspects) != 0;
}

#else

// Bytes looked at in one step.
constexpr std::size_t block_size = sizeof(std::uint64_t);

// Tells whether any of eight bytes may need an escape: below 0x20 (tab among
// them), DEL, or the lead byte of a C1 control. A byte below n is found as
// one whose subtraction of n borrows into its high bit while the byte itself
// has that bit clear.
bool has_suspect(const unsigned char* bytes) {
  constexpr std::uint64_t ones = 0x0101010101010101U;
  constexpr std::uint64_t highs = 0x8080808080808080U;
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  const std::uint64_t rubout = word ^ (0x7f * ones);
  const std::uint64_t lead = word ^ (c1_lead * ones);
  return ((((word - 0x20 * ones) & ~word) | ((rubout - ones) & ~rubout) |
           ((lead - ones) & ~lead)) &
          highs) != 0;
}

#endif

// The length of the leading run of bytes that need no escape: a sentence is
// mostly such bytes, so they are looked at a block at a time.
std::size_t safe_prefix_length(const unsigned char* text, std::size_t length) {
  std::size_t at = 0;
  for (;;) {
    while (length - at >= block_size && !has_suspect(text + at)) {
      at += block_size;
    }
    // A suspect byte may be harmless (a tab, say): past its block, the scan
    // goes on a block at a time.
    const std::size_t block_end = std::min(length, at + block_size);
    while (at < block_end && unsafe_length(text + at, length - at) == 0) ++at;
    if (at < block_end || at == length) return at;
  }
}

}  // namespace

std::size_t escape_controls(const char* text, std::size_t length, char* out) {
  static constexpr char hex_digits[] = "0123456789abcdef";
  const char* start = out;
  const auto* at = reinterpret_cast<const unsigned char*>(text);
  const auto* end = at + length;
  while (at != end) {
    const std::size_t safe = safe_prefix_length(at, end - at);
    out = std::copy(at, at + safe, out);
    at += safe;
    if (at == end) break;
    const auto* control_end = at + unsafe_length(at, end - at);
    for (; at != control_end; ++at) {
      *out++ = '\\';
      *out++ = 'x';
      *out++ = hex_digits[*at >> 4];
      *out++ = hex_digits[*at & 0xf];
    }
  }
  return out - start;
}

const char* shown_text(const char* text, std::size_t length, char* out,
                       std::size_t size) {
  const std::size_t taken = std::min(length, (size - 1) / escaped_byte_size);
  out[escape_controls(text, taken, out)] = '\0';
  return out;
}
