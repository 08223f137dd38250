// Drives the real programs through pipes and talks UDP on loopback, with every
// wait bounded.
#ifndef TESTS_HARNESS_H_
#define TESTS_HARNESS_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

using std::chrono_literals::operator""s;
constexpr std::chrono::milliseconds default_wait = 5s;

// What a program wrote and how it ended; status is -1 if it had to be killed.
struct outcome {
  std::string out;
  std::string err;
  int status = -1;
};

// A program started with its standard streams on pipes; killed by its PID if
// it is still running when this goes away.
class program {
 public:
  explicit program(const char* path);
  ~program();
  program(const program&) = delete;
  program& operator=(const program&) = delete;

  // Writes `text` to standard input, leaving it open.
  void write_input(const std::string& text);
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
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string out_text_;
  std::string err_text_;
};

// A UDP socket bound to a loopback address; closed when this goes away.
class udp_socket {
 public:
  explicit udp_socket(const char* address = "127.0.0.1",
                      std::uint16_t port = 0);
  ~udp_socket();
  udp_socket(const udp_socket&) = delete;
  udp_socket& operator=(const udp_socket&) = delete;

  std::uint16_t port() const;
  void send_to(std::uint16_t port, const std::string& payload) const;
  // The next datagram's bytes, or nothing if none comes within `wait`.
  std::optional<std::string> receive(
      std::chrono::milliseconds wait = default_wait) const;

 private:
  int fd_;
};

// Gives the server its port word (one of port 0) and returns the port it
// says it chose.
std::uint16_t start_server(program& server,
                           const std::string& port_line = "0\n");

#endif  // TESTS_HARNESS_H_
