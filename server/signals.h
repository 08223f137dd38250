// The stop signals: interrupt, termination and hangup set a flag and cut
// short whatever call the server is blocked in, so that it can show what it
// took, tell what it lost and end by that signal.
#ifndef SERVER_SIGNALS_H_
#define SERVER_SIGNALS_H_

#include <chrono>

// Once a stop signal has arrived, no call stays blocked longer than this.
constexpr auto blocked_call_limit = std::chrono::milliseconds(5);

// Catches the stop signals that are not ignored (one ignored from the start,
// a hangup under nohup say, stays so); false with errno if it cannot.
bool catch_stop_signals();

// Gives the first stop signal that has arrived, or 0.
int stop_signal();

// Waits up to `limit` for a stop signal that may be on its way, as a hangup
// is after a terminal has begun to fail writes.
void await_stop_signal(std::chrono::milliseconds limit);

// Ends the process by `signal`, with its default action, as if it had never
// been caught; gives the status to exit with should the process live on.
int end_by_signal(int signal);

#endif  // SERVER_SIGNALS_H_
