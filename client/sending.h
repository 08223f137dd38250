// One sentence on the wire, and the errors that come back from the network
// for sentences sent, counted by reason and told on standard error.
#ifndef CLIENT_SENDING_H_
#define CLIENT_SENDING_H_

#include <netinet/in.h>

#include <chrono>
#include <cstddef>

using report_clock = std::chrono::steady_clock;

// While errors go on coming back, they are told at most once this long.
constexpr auto error_report_interval = std::chrono::seconds(1);

// The reasons told apart; errors of any further reason join the last.
constexpr std::size_t error_reasons = 8;

// Errors from across a network come back a round trip after the sentence;
// the client waits this long for those of its last sentences.
constexpr auto late_error_wait = std::chrono::milliseconds(250);

// The sentences sent and the errors come back are noted this often, so that
// those of the last wait's length can be told from the rest, however many.
constexpr auto note_interval = std::chrono::milliseconds(10);
constexpr std::size_t notes_kept = late_error_wait / note_interval + 2;

// A send that an earlier sentence's error stopped is tried again; one that
// finds no report of that error is tried this many times at most, since a
// send that cannot go for itself fails as often as it is tried.
constexpr int unreported_tries = 4;

// A send that finds the way out full waits for room, this long at most.
constexpr auto room_wait_limit = std::chrono::seconds(1);

// The sentences sent, and those whose errors came back, by reason.
struct returned_errors {
  unsigned long sent = 0;
  unsigned long returned = 0;  // never more than were sent
  struct by_reason {
    int reason = 0;  // errno of the error
    unsigned long untold = 0;
  } reasons[error_reasons];
  report_clock::time_point next_tell{};
  // The counts as they stood when each of the latest intervals began, in a
  // ring; the newest stands at `newest_note`.
  struct note {
    report_clock::time_point at{};
    unsigned long sent = 0;
    unsigned long returned = 0;
  } notes[notes_kept];
  std::size_t newest_note = 0;
  report_clock::time_point last_sent{};
};

// Counts an error of `reason` that came back for a sentence; one that could
// stand for no sentence sent (forged, say) is not counted. Tells whether it
// was counted.
bool count_error(returned_errors& errors, int reason);

// Counts the errors that have come back to `sock` from the network since it
// last looked, and takes the one that stays pending, so that it wakes no
// wait; gives how many errors it counted.
unsigned long count_returned(int sock, returned_errors& errors);

// Drops, for good, every datagram that comes to `sock`, which would take the
// room of the error reports; false if it cannot.
bool refuse_datagrams(int sock);

// Tells, as `program`, the errors not yet told for sentences to `to`, a line
// a reason ("refused" for a closed port, "undeliverable" for the rest), when
// a line is due: the first at once, later ones at most one an interval, all
// with `all`.
void tell_returned(const char* program, returned_errors& errors,
                   const sockaddr_in& to, bool all);

// Waits for the errors of every sentence sent in the last late_error_wait
// before the last one to come back to `sock`, until as many have come as
// were sent then or that time has passed since the last; counts them.
void await_late_errors(int sock, returned_errors& errors);

// Sends a sentence and its terminator on the connected `sock`. A send that
// reports an error that came back for an earlier sentence has not sent this
// one: the error is counted and the send tried again, as often as such
// errors come. False if the sentence could not be sent, errno telling why.
bool send_sentence(int sock, const char* sentence, returned_errors& errors);

#endif  // CLIENT_SENDING_H_
