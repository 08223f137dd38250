#include "client/destination.h"

#include <arpa/inet.h>

#include <cstring>

#include "common/sizes.h"

bool parse_address(const char* text, in_addr& address) {
  const char* const blanks = " \t";
  const char* start = text + std::strspn(text, blanks);
  std::size_t length = std::strcspn(start, blanks);
  // inet_aton stops at a blank and takes what came before; anything but
  // blanks after the address makes it another text, not that address.
  if (length == 0 ||
      start[length + std::strspn(start + length, blanks)] != '\0' ||
      length >= address_line_limit) {
    return false;
  }
  char word[address_line_limit];
  std::memcpy(word, start, length);
  word[length] = '\0';
  return inet_aton(word, &address) != 0;
}
