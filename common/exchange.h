#ifndef COMMON_EXCHANGE_H_
#define COMMON_EXCHANGE_H_

#include <cstddef>
#include <cstdint>

// Each program holds one sentence and its zero byte in a buffer of this size;
// a receiver sees at most this many bytes of a datagram.
constexpr std::size_t message_buffer_size = 1024;

// The server takes up to this many queued datagrams with one call.
constexpr std::size_t receive_batch = 32;

// The longest text a received datagram can show: the last byte of the message
// buffer stays free for the terminator.
constexpr std::size_t max_shown_length = message_buffer_size - 1;

// Limits of the client's answers, each counting the terminator, so a port
// line holds 8 characters and an address line 15; the buffer of each has
// room besides for the carriage return of a CR LF line end, which is dropped.
constexpr std::size_t port_line_limit = 9;
constexpr std::size_t address_line_limit = 16;
constexpr std::size_t line_end_room = 1;

// The longest sentence the client sends: the datagram's last byte is the
// terminator.
constexpr std::size_t longest_sentence = message_buffer_size - 2;

// The client reads a typed line through a window that holds a whole sentence
// and what follows it, enough to see whether the rest of the line would read
// as the stop word before the sentence is cut off.
constexpr std::size_t sentence_window_size = 2 * message_buffer_size;

// The word that ends the exchange.
constexpr char stop_word[] = "Quit";

// The server's request for its receive queue: more than any system grants, so
// the system caps it at its own maximum and a burst waits there, not lost.
constexpr int receive_buffer_request = 1 << 30;

// A dotted-decimal IPv4 address and its terminator.
constexpr std::size_t dotted_address_size = 16;

// Between the sender's address and the sentence on a sender line.
constexpr char says_separator[] = " says: ";

// An untrusted byte is shown as a backslash, "x" and two hex digits.
constexpr std::size_t escaped_byte_size = 4;

// The longest start of a sender line: the address and the separator.
constexpr std::size_t sender_prefix_size =
    (dotted_address_size - 1) + (sizeof says_separator - 1);

// The longest sender line: its start, every shown byte escaped, and the line
// end.
constexpr std::size_t sender_line_size =
    sender_prefix_size + escaped_byte_size * max_shown_length + 1;

// Reads a port text as atoi does and keeps its low 16 bits, in network order.
std::uint16_t parse_port(const char* text);

// Tells whether a sentence ends the exchange: the stop word, alone or
// followed by the carriage return of a CR LF line end.
bool is_stop_sentence(const char* sentence);

// Gives the length of the next sentence to send from the unsent rest of a
// typed line: all of it when it fits, otherwise a cut that falls inside no
// UTF-8 character and leaves no rest that reads as the stop word.
std::size_t next_piece_length(const char* rest, std::size_t length);

// Cuts a received payload at its first zero byte, at the end of the received
// bytes or at the last byte of the buffer, whichever comes first, and
// terminates it there; returns the sentence's length.
std::size_t bound_sentence(char (&buffer)[message_buffer_size],
                           std::size_t received);

// Writes "<address> says: <sentence>" and a line end into `line`, which has
// room for sender_line_size bytes, with controls (C0, DEL, and C1 in UTF-8)
// escaped; returns the line's length.
std::size_t format_sender_line(const char* address, const char* sentence,
                               std::size_t length, char* line);

#endif  // COMMON_EXCHANGE_H_
