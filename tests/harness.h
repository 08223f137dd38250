// Drives the real programs through pipes, or a terminal, and talks UDP on
// loopback, with every wait bounded.
#ifndef TESTS_HARNESS_H_
#define TESTS_HARNESS_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "support/process.h"
#include "support/udp.h"

using std::chrono_literals::operator""s;
using std::chrono_literals::operator""ms;
constexpr std::chrono::milliseconds default_wait = 5s;

// What a program wrote and how it ended: its exit status, 128 and the signal
// that ended it, or -1 if it had to be killed.
struct outcome {
  std::string out;
  std::string err;
  int status = -1;
};

// How a program's standard streams differ from plain pipes.
struct stream_setup {
  bool input_closed = false;       // standard input closed
  bool input_nonblocking = false;  // a read of standard input never waits
  bool output_terminal = false;    // standard output a pseudo-terminal
  bool output_closed = false;      // nothing reads standard output
};

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
  // Sends `signal` to the program.
  void send_signal(int signal) const;
  // Waits until standard output, as written so far, ends with `ending`;
  // tells whether it did.
  bool wait_for_output(const std::string& ending,
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
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string out_text_;
  std::string err_text_;
};

// Gives the server its port word (one of port 0) and returns the port it
// says it chose.
std::uint16_t start_server(program& server,
                           const std::string& port_line = "0\n");

#endif  // TESTS_HARNESS_H_
