// Losses that the system reports to a program, and how the program tells
// them on standard error in turn.
#ifndef COMMON_LOSSES_H_
#define COMMON_LOSSES_H_

#include <netinet/in.h>

#include <chrono>
#include <cstdint>

using report_clock = std::chrono::steady_clock;

// While losses go on, each program tells them at most once this long, but
// for the server's drops before it waits.
constexpr auto loss_report_interval = std::chrono::seconds(1);

// Tells on standard error how many datagrams were dropped for `sock` since
// the count `told`, if any, and moves `told` on; tells whether it told.
bool tell_drops(int sock, std::uint32_t& told);

// The sentences that the destination refused, as the system reports them.
struct refusal_count {
  unsigned long total = 0;
  unsigned long untold = 0;
  int reason = 0;  // errno of the latest refusal
  report_clock::time_point next_tell{};
};

// Counts the refusals that have come back to `sock` since it last looked.
void count_refusals(int sock, refusal_count& refused);

// Tells the untold refusals of sentences to `to` when a line is due: the
// first at once, later ones at most one line an interval, all with `all`.
void tell_refusals(refusal_count& refused, const sockaddr_in& to, bool all);

// Sends a sentence and its terminator on the connected `sock`. A send that
// only reports the refusal of an earlier sentence has not sent this one: the
// refusal is counted and the send tried once more. False if the sentence
// could not be sent, errno telling why.
bool send_sentence(int sock, const char* sentence, refusal_count& refused);

#endif  // COMMON_LOSSES_H_
