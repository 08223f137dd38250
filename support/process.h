// Starts, watches and stops the programs that the tests and the benchmark
// run: every wait has a deadline, and only a started child is ever killed.
#ifndef SUPPORT_PROCESS_H_
#define SUPPORT_PROCESS_H_

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <string>

using process_clock = std::chrono::steady_clock;

// The descriptors a child gets as its standard input, output and error; -1
// leaves that stream closed.
struct child_streams {
  int in = -1;
  int out = -1;
  int err = -1;
  bool out_controls = false;  // the output is the child's controlling terminal
  int ignored_signal = 0;     // a signal the child starts with ignored
  int blocked_signal = 0;     // a signal the child starts with held back
  const char* network = nullptr;   // a network namespace's file to run in
  const char* argument = nullptr;  // the one argument the child gets, if any
  int user = -1;  // the user and group the child runs as, if not ours
  const char* const* environment = nullptr;  // "NAME=value" entries it gets
                                             // besides ours, up to a null
};

// Moves the calling process into the network namespace named by the file
// `network`; false if it cannot.
bool enter_network(const char* network);

// Starts the program at `path`, with `streams` (and their argument), on CPU
// `cpu` unless it is negative; throws std::runtime_error if it cannot fork.
pid_t start_program(const std::string& path, const child_streams& streams,
                    int cpu = -1);

// Runs `body` in a child on CPU `cpu` unless it is negative; the child exits
// with what `body` returns. Throws std::runtime_error if it cannot fork.
pid_t start_function(const std::function<int()>& body, int cpu = -1);

// How a child ended.
struct ending {
  bool exited = false;  // by itself, before the deadline
  int status = -1;      // as a shell shows it: the exit status, or 128 and
                        // the signal that ended it; -1 if it had to be
                        // killed
  int signal = 0;       // the signal that ended it, 0 if it exited
  rusage usage{};       // the child's CPU time
  process_clock::time_point at;
};

// Waits for child `pid` until `deadline`, calling `meanwhile` (if any) at
// least every `period` while it runs. At the deadline it sends `stop`, and
// kills the child if that has not ended it a grace period later; with `stop`
// 0 it leaves the child running.
ending wait_for(pid_t pid, process_clock::time_point deadline,
                const std::function<void()>& meanwhile = nullptr,
                std::chrono::milliseconds period = std::chrono::seconds(1),
                int stop = SIGKILL);

// The milliseconds left until `deadline`, or 0 once it has passed.
int remaining_ms(process_clock::time_point deadline);

// Kills child `pid` and reaps it; anything but a child's PID is left alone.
void kill_child(pid_t pid);

// Takes the next line, without its end, from `text` and what can be read on
// `fd` until `deadline`; empty if no whole line comes.
std::string next_line(int fd, std::string& text,
                      process_clock::time_point deadline);

// Tells whether process `pid` stays asleep for `quiet`, not woken once and
// given no CPU time (a process that spins alone on a core is never switched
// out), within `wait`.
bool stays_asleep(pid_t pid, std::chrono::milliseconds quiet,
                  std::chrono::milliseconds wait);

// The port in the server's "server: listening on port N" line (or "server:
// port X is out of range: listening on port N"), or 0 if the line is not
// that.
std::uint16_t announced_port(const std::string& line);

#endif  // SUPPORT_PROCESS_H_
