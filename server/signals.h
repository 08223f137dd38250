// The stop signals: interrupt, termination and hangup. Each sets a flag and
// cuts short the call it meets. A wait that could last (the server idle, or
// its output blocked) holds them back until it has looked at the flag, and
// lets them in as it starts, so none is slept through; a wait for the next
// datagram while traffic flows ends within its own short limit.
#ifndef SERVER_SIGNALS_H_
#define SERVER_SIGNALS_H_

#include <poll.h>

#include <csignal>

// Lets through the stop signals that the parent may have held back, so that
// until they are caught they end the server at once, as any program.
void let_stop_signals_through();

// Catches the stop signals that are not ignored (one ignored from the start,
// a hangup under nohup say, stays so); false, with errno, if it cannot.
bool catch_stop_signals();

// Gives the first stop signal that has arrived, or 0.
int stop_signal();

// Whether the stop signals are held back now, and the mask that lets them
// in; they stay held between waits that let them in, and are let through
// again for a wait that cannot, a receive that waits.
struct signal_gate {
  bool held = false;
  sigset_t let_in{};
};

// Lets the stop signals through, for a wait that they cut short but that
// cannot let them in itself; a signal that came meanwhile is handled now.
void let_through(signal_gate& gate);

// Waits until one of `fds` is ready, `timeout_ms` milliseconds have passed
// (never, if it is negative) or a stop signal arrives, at once if one has:
// it holds the signals back, if they are not, before it looks at the flag,
// and lets them in as the wait starts. Gives the number of ready
// descriptors, 0 after a timeout or a signal, or -1 with errno.
int wait_for(signal_gate& gate, pollfd* fds, nfds_t count, int timeout_ms);

// Ends the process by `signal`, with its default action, as if it had never
// been caught; gives the status to exit with should the process live on.
int end_by_signal(int signal);

#endif  // SERVER_SIGNALS_H_
