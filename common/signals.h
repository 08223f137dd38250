// The server's stop signals: interrupt, termination and hangup are taken as
// events, so that the server can show what it has taken before it ends.
#ifndef COMMON_SIGNALS_H_
#define COMMON_SIGNALS_H_

// Blocks the stop signals and gives a non-blocking descriptor that reads
// them, or -1; a signal ignored from the start stays ignored.
int watch_stop_signals();

// Gives the stop signal that has arrived on `signals`, or 0.
int taken_signal(int signals);

// Waits until `sock` has a datagram or a stop signal arrives; gives the
// signal, 0 for a datagram, or -1 if the wait failed.
int wait_for_datagram(int sock, int signals);

// Ends the process by `signal`, with its default action, as if it had never
// been caught; gives the status to exit with should the process live on.
int end_by_signal(int signal);

#endif  // COMMON_SIGNALS_H_
