#include "server/sender_line.h"

#include <algorithm>
#include <cstring>

#include "common/escape.h"

std::size_t format_sender_line(const char* address, const char* sentence,
                               std::size_t length, char* line) {
  char* out = line;
  out = std::copy(address, address + strnlen(address, dotted_address_size - 1),
                  out);
  out = std::copy(says_separator, says_separator + sizeof says_separator - 1,
                  out);
  out += escape_controls(sentence, std::min(length, max_shown_length), out);
  *out++ = '\n';
  return out - line;
}
