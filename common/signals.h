// The server's stop signals: interrupt, termination and hangup are taken as
// events, so that the server can show what it has taken before it ends.
#ifndef COMMON_SIGNALS_H_
#define COMMON_SIGNALS_H_

#include <chrono>

// Blocks the stop signals and gives a non-blocking descriptor that reads
// them, or -1; a signal ignored from the start stays ignored.
int watch_stop_signals();

// Gives the stop signal that has arrived on `signals`, or 0.
int taken_signal(int signals);

// A busy server looks for drops and stop signals this often.
constexpr auto look_interval = std::chrono::milliseconds(10);

// A wait for a datagram ends after this long, so that a waiting server looks
// too.
constexpr auto longest_wait = std::chrono::milliseconds(100);

// Makes every wait for a datagram on `sock` end after longest_wait; gives 0,
// or -1 if it cannot.
int end_waits_briefly(int sock);

// Ends the process by `signal`, with its default action, as if it had never
// been caught; gives the status to exit with should the process live on.
int end_by_signal(int signal);

#endif  // COMMON_SIGNALS_H_
