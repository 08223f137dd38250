// Datagrams that the server could not show as they came: dropped by the
// system while the receive queue was full, cut to the bytes a line shows, or
// not shown at the stop; counted, and told on standard error in their place
// among the lines.
#ifndef SERVER_LOSSES_H_
#define SERVER_LOSSES_H_

#include <chrono>
#include <cstdint>

using report_clock = std::chrono::steady_clock;

// While losses go on, they are told at most once this long, but for the
// ones told before the server waits.
constexpr auto loss_report_interval = std::chrono::seconds(1);

struct loss_count {
  // The system's count of drops at the last drop line, and before the last
  // datagram whose line is gathered (or at the last look at an empty queue):
  // the drops between them are known to lie before every line still to come.
  std::uint32_t told_drops = 0;
  std::uint32_t known_drops = 0;
  unsigned long untold_cuts = 0;
  unsigned long not_shown = 0;  // datagrams taken or queued after the stop
  report_clock::time_point next_busy_tell{};
};

// Tells whether drops or cuts are known and not yet told.
bool has_untold(const loss_count& losses);

// Learns the system's whole count of drops for `sock` if its queue is empty
// now, when no datagram still to come was queued before any of them. A
// failed query leaves what was known.
void learn_drops_if_empty(int sock, loss_count& losses);

// Tells the known drops and the cuts on standard error, a line each, after
// the lines they concern; with `at_once`, only as far as standard error
// takes them at once. Tells whether it told anything.
bool tell_losses(loss_count& losses, bool at_once);

// Tells the datagrams that were not shown because the server stopped.
void tell_not_shown(const loss_count& losses, bool at_once);

#endif  // SERVER_LOSSES_H_
