// Drives the real programs through pipes, or a terminal, and talks UDP on
// loopback, with every wait bounded.
#ifndef TESTS_HARNESS_H_
#define TESTS_HARNESS_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/udp.h"

using std::chrono_literals::operator""s;
using std::chrono_literals::operator""ms;
using std::chrono_literals::operator""us;
constexpr std::chrono::milliseconds default_wait = 5s;

// Holds when `took` is at most `bound`; else says both in milliseconds.
::testing::AssertionResult lasted_at_most(std::chrono::nanoseconds took,
                                          std::chrono::nanoseconds bound);

// What a program wrote and how it ended: its exit status, 128 and the signal
// that ended it, or -1 if it had to be killed; and that signal, if any.
struct outcome {
  std::string out;
  std::string err;
  int status = -1;
  int signal = 0;
  process_clock::time_point ended_at{};    // when it was seen to end
  std::vector<std::string> out_datagrams;  // a datagram output's, each apart
  std::chrono::microseconds cpu{};         // its user and system time
};

// How a program's standard streams differ from plain pipes.
struct stream_setup {
  bool input_closed = false;        // standard input closed
  bool input_nonblocking = false;   // a read of standard input never waits
  bool output_terminal = false;     // standard output its controlling terminal
  bool input_terminal = false;      // standard input that terminal too: what
                                    // is written to it is typed, and echoed
  bool output_closed = false;       // nothing reads standard output
  bool output_nonblocking = false;  // a write to standard output never
                                    // waits, into a pipe of a page
  bool output_full = false;         // standard output a full device
  bool output_socket = false;       // standard output a stream socket
  bool output_datagrams = false;    // standard output a datagram socket
  bool output_refused = false;      // standard output a UDP socket whose
                                    // peer refuses what it is sent
  bool output_read_only = false;    // standard output open for reading only
  const char* output_file = nullptr;  // standard output this file, emptied
  bool output_appends = false;        // and opened to append, as >> does
  bool errors_to_output = false;    // standard error on standard output's pipe
  bool errors_full = false;         // standard error a pipe that is full
  bool errors_full_device = false;  // standard error a full device
  bool other_user = false;          // run as nobody, who cannot open the test's
                                    // pipes and terminal anew (needs root)
  int ignored_signal = 0;           // a signal ignored from the start
  int blocked_signal = 0;           // a signal held back from the start
  const char* network = nullptr;    // a network namespace's file to run in
  const char* argument = nullptr;   // one argument on the command line
  const char* const* environment = nullptr;  // "NAME=value" entries besides
                                             // ours, up to a null
};

// A setup of plain pipes but for `flag`.
stream_setup with(bool stream_setup::*flag);

// What fills a full standard error pipe before the program writes to it.
constexpr char error_filler = '#';

// A program started with its standard streams on pipes; killed by its PID if
// it is still running when this goes away.
class program {
 public:
  explicit program(const char* path, const stream_setup& setup = {});
  ~program();
  program(const program&) = delete;
  program& operator=(const program&) = delete;

  // Writes `text` to standard input, leaving it open.
  void write_input(const std::string& text);
  pid_t pid() const { return pid_; }
  // Sends `signal` to the program.
  void send_signal(int signal) const;
  // Stops and restarts a terminal output, as Ctrl-S and Ctrl-Q do, or hangs
  // it up, as closing its window does.
  void pause_output();
  void resume_output();
  void hang_up();
  // Waits until the program ends, reading none of its output meanwhile;
  // tells whether it ended within `wait`.
  bool ends_within(std::chrono::milliseconds wait);
  // Collects both outputs until `done(out, err)` holds; tells whether it did.
  bool wait_until(
      const std::function<bool(const std::string&, const std::string&)>& done,
      std::chrono::milliseconds wait = default_wait);
  // Waits until standard output, as written so far, ends with `ending`;
  // tells whether it did.
  bool wait_for_output(const std::string& ending,
                       std::chrono::milliseconds wait = default_wait);
  // Reads `bytes` of standard output, and no more, waiting for them
  // `wait` at most; tells whether they came.
  bool read_output(std::size_t bytes,
                   std::chrono::milliseconds wait = default_wait);
  // Waits for the next line on standard error and returns it without its end.
  std::string read_error_line(std::chrono::milliseconds wait = default_wait);
  // Writes `input`, closes standard input, and collects both outputs until
  // the program exits.
  outcome finish(const std::string& input = "",
                 std::chrono::milliseconds wait = default_wait);

 private:
  // Collects both outputs until `done` holds or `wait` has passed; tells
  // whether it held.
  bool collect_until(const std::function<bool()>& done,
                     std::chrono::milliseconds wait);

  pid_t pid_ = -1;
  bool typed_ = false;  // input goes through the terminal
  ending end_;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string out_text_;
  std::string err_text_;
  bool out_datagrams_ = false;
  std::vector<std::string> out_pieces_;
};

// Traces the calls named in `calls` ("write,sendto", or "all") that process
// `traced` makes, and the signals it takes, with strace, from now until it
// ends.
class tracer {
 public:
  tracer(pid_t traced, const char* calls);
  ~tracer();
  tracer(const tracer&) = delete;
  tracer& operator=(const tracer&) = delete;
  bool attached() const { return attached_; }
  // What strace wrote, once the traced process has ended.
  std::string log();
  // The names of the calls made.
  std::set<std::string> calls_made();
  // The writes that took nothing after the first signal the process took.
  int failed_writes_after_signal();

 private:
  std::string path_;
  pid_t pid_ = -1;
  bool attached_ = false;
};

// Tells whether strace is installed.
bool strace_found();

// The programs under test: those of this build, or those that the
// environment's SERVER_UNDER_TEST and CLIENT_UNDER_TEST name (another
// build of them, say).
const char* server_path();
const char* client_path();

// A port that nothing listens on, for now.
std::uint16_t free_port();

// Gives the server its port word (one of port 0) and returns the port it
// says it chose, and what it said in `said` if asked.
std::uint16_t start_server(program& server,
                           const std::string& port_line = "0\n",
                           std::string* said = nullptr);

#endif  // TESTS_HARNESS_H_
