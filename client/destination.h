// The destination the user names: its address, read from an answer.
#ifndef CLIENT_DESTINATION_H_
#define CLIENT_DESTINATION_H_

#include <netinet/in.h>

#include <cstddef>

// Limits of the answers, each counting the terminator, so a port line holds
// 8 characters and an address line 15.
constexpr std::size_t port_line_limit = 9;
constexpr std::size_t address_line_limit = 16;

// Reads an IPv4 address in the numbers-and-dots notation (127.0.0.1, 127.1,
// 0x7f.0.0.1, 2130706433) from the `length` bytes of `text`, with blanks and
// tabs around it ignored and nothing else beside it, no control or zero
// byte; false if the text is no such address.
bool parse_address(const char* text, std::size_t length, in_addr& address);

#endif  // CLIENT_DESTINATION_H_
