#include "client/destination.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>

bool parse_address(const char* text, std::size_t length, in_addr& address) {
  const auto blank = [](char byte) { return byte == ' ' || byte == '\t'; };
  const char* const start = std::find_if_not(text, text + length, blank);
  const char* const end =
      std::find_if_not(std::make_reverse_iterator(text + length),
                       std::make_reverse_iterator(start), blank)
          .base();
  // inet_aton stops at any white space and takes what came before: the
  // word must hold nothing else, and fit.
  const std::size_t size = static_cast<std::size_t>(end - start);
  if (size == 0 || size >= address_line_limit ||
      !std::all_of(start, end, [](char byte) {
        return std::isgraph(static_cast<unsigned char>(byte)) != 0;
      })) {
    return false;
  }
  char word[address_line_limit];
  std::memcpy(word, start, size);
  word[size] = '\0';
  return inet_aton(word, &address) != 0;
}
