// One sentence on the wire, and the refusals that come back for sentences
// sent, counted and told on standard error.
#ifndef CLIENT_SENDING_H_
#define CLIENT_SENDING_H_

#include <netinet/in.h>

#include <chrono>

using report_clock = std::chrono::steady_clock;

// While refusals go on, they are told at most once this long.
constexpr auto refusal_report_interval = std::chrono::seconds(1);

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

#endif  // CLIENT_SENDING_H_
