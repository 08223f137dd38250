// The line the server shows for each sentence: the sender's address, " says: "
// and the sentence, with every byte that could forge a line or drive the
// terminal escaped.
#ifndef SERVER_SENDER_LINE_H_
#define SERVER_SENDER_LINE_H_

#include <cstddef>

#include "common/escape.h"
#include "common/sizes.h"

// A dotted-decimal IPv4 address and its terminator.
constexpr std::size_t dotted_address_size = 16;

// Between the sender's address and the sentence on a sender line.
constexpr char says_separator[] = " says: ";

// The longest start of a sender line: the address and the separator.
constexpr std::size_t sender_prefix_size =
    (dotted_address_size - 1) + (sizeof says_separator - 1);

// The longest sender line: its start, every shown byte escaped, and the line
// end.
constexpr std::size_t sender_line_size =
    sender_prefix_size + escaped_byte_size * max_shown_length + 1;

// Writes "<address> says: <sentence>" and a line end into `line`, which has
// room for sender_line_size bytes, with controls (C0, DEL, and C1 in UTF-8)
// escaped; returns the line's length.
std::size_t format_sender_line(const char* address, const char* sentence,
                               std::size_t length, char* line);

#endif  // SERVER_SENDER_LINE_H_
