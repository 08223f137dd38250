// Datagrams that the server could not show as they came: dropped by the
// system while the socket's receive queue was full, dropped by the server
// while its own queue was full, cut to the bytes a line shows, or not shown
// at the stop; counted, and told on standard error.
#ifndef SERVER_LOSSES_H_
#define SERVER_LOSSES_H_

#include <cstddef>
#include <cstdint>

#include "common/sizes.h"

// Losses told together, at one place among the lines.
struct losses {
  unsigned long system_drops = 0;  // the receive queue was full
  unsigned long queue_drops = 0;   // the server's own queue was full
  unsigned long cuts = 0;          // shown cut, in lines before this place
  unsigned long refused = 0;       // lines a datagram output refused
  unsigned long not_shown = 0;     // taken or queued when the server stopped
};

// Adds the counts of `more` to `into`.
void add_up(losses& into, const losses& more);

// Tells whether `lost` counts anything.
bool any(const losses& lost);

// Room for the lines that tell one place's losses, a line for each of the
// five kinds, and a failure's line before them.
constexpr std::size_t loss_lines_size = 6 * message_line_size;

// Writes into `text` the lines that tell `lost` as `program` ("server: 3
// datagrams dropped: receive queue full", say), one for each kind it counts;
// gives their length.
std::size_t format_losses(const char* program, const losses& lost, char* text,
                          std::size_t size);

// The system's whole count of drops for `sock`, learnt into `drops` when its
// receive queue is empty, so that every datagram still to come arrived after
// them; false, leaving `drops`, when the queue holds any or the count cannot
// be had.
bool drops_if_empty(int sock, std::uint32_t& drops);

#endif  // SERVER_LOSSES_H_
