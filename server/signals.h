// The signals that end the server: every signal whose default action ends a
// process without a core dump (hangup, interrupt, termination, the user
// signals, the alarms, the real-time signals, and the rarer SIGIO, SIGPWR
// and SIGSTKFLT), but SIGPIPE, which the server ignores: a closed output is
// a write failure. They are held back for the whole run and let in only by
// the one wait, so that none slips in between a look at the flag and a
// sleep; the first one ends the server, with what it took and could not
// show counted, and then by that same signal.
//
// One real-time signal, the write timer's, is let through only while it
// cuts short a write to an output that the server could not open without
// waiting. The same signal sent by another process is a stop signal like
// the others.
#ifndef SERVER_SIGNALS_H_
#define SERVER_SIGNALS_H_

#include <poll.h>

#include <csignal>

// Lets through the stop signals that the parent may have held back, so that
// until they are caught they end the server at once, as any program.
void let_stop_signals_through();

// The mask that lets the stop signals in, for the one wait.
struct signal_gate {
  sigset_t let_in{};
};

// Catches the stop signals that are not ignored (one ignored from the start,
// a hangup under nohup say, stays so) and the write timer's, and holds them
// all back from now on; false, with errno, if it cannot.
bool catch_stop_signals(signal_gate& gate);

// Gives the first stop signal that has arrived, or 0.
int stop_signal();

// Waits until one of `fds` is ready, `timeout_ms` milliseconds have passed
// (never, if it is negative) or a signal held back arrives, letting them in
// for the wait only. Gives the number of ready descriptors, 0 after a
// timeout or a signal, or -1 with errno. A timeout of 0 lets in a signal
// held back meanwhile without waiting. A caller that must not sleep through
// a stop signal looks at stop_signal() first: one that came while the
// signals were let through otherwise is not seen here.
int wait_for(const signal_gate& gate, pollfd* fds, nfds_t count,
             int timeout_ms);

// The signal of the timer that cuts a write short.
int write_timer_signal();

// Lets the timer's signal through, for a write it is to cut short, or holds
// it back again.
void let_timer_through(bool through);

// Ends the process by `signal`, with its default action, as if it had never
// been caught; gives the status to exit with should the process live on.
int end_by_signal(int signal);

#endif  // SERVER_SIGNALS_H_
