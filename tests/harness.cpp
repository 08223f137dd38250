#include "tests/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "support/durations.h"

namespace {

void fail(const std::string& what) { throw std::runtime_error(what); }

// The user and group of nobody on Debian.
constexpr int nobody = 65534;

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Moves what is readable on `fd` into `text`, and each piece read into
// `pieces` if asked (a datagram a piece); closes it at its end (a terminal
// whose other side has closed says so with an error).
void drain(int& fd, std::string& text,
           std::vector<std::string>* pieces = nullptr) {
  char chunk[65536];
  const ssize_t n = read(fd, chunk, sizeof chunk);
  if (n > 0) {
    text.append(chunk, n);
    if (pieces != nullptr) pieces->emplace_back(chunk, n);
  } else if (n == 0 || errno != EINTR) {
    close_fd(fd);
  }
}

// A UDP socket connected to a loopback port where nothing listens: each
// datagram sent on it comes back refused.
int refusing_socket() {
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_in nowhere = loopback_address(free_port());
  if (sock < 0 || connect(sock, reinterpret_cast<const sockaddr*>(&nowhere),
                          sizeof nowhere) != 0) {
    fail("cannot make a socket whose peer refuses");
  }
  return sock;
}

// Fills the pipe that `fd` writes to, so that the next write waits.
void fill(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  const std::string filler(4096, error_filler);
  while (write(fd, filler.data(), filler.size()) > 0) {
  }
  fcntl(fd, F_SETFL, flags);
}

}  // namespace

program::program(const char* path, const stream_setup& setup) {
  // A write to a program that has already ended must fail, not kill the test.
  std::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) fail("pipe");
  if (setup.output_terminal
          ? openpty(&out[0], &out[1], nullptr, nullptr, nullptr) != 0
      : setup.output_socket || setup.output_datagrams
          ? socketpair(
                AF_UNIX,
                (setup.output_socket ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC,
                0, out) != 0
          : pipe2(out, O_CLOEXEC) != 0) {
    fail("standard output");
  }
  out_datagrams_ = setup.output_datagrams;
  if (setup.output_refused) {
    close(out[1]);
    out[1] = refusing_socket();
  }
  // Its end for reading: anything written to it lands where the test reads.
  int given_out = setup.output_read_only ? dup(out[0]) : out[1];
  if (setup.output_file != nullptr) {
    given_out = open(setup.output_file,
                     O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC |
                         (setup.output_appends ? O_APPEND : 0),
                     0644);
  }
  // Only the program holds the terminal, so that closing ours hangs it up.
  for (const int fd : {out[0], out[1]}) fcntl(fd, F_SETFD, FD_CLOEXEC);
  if (setup.input_nonblocking) {
    fcntl(in[0], F_SETFL, fcntl(in[0], F_GETFL) | O_NONBLOCK);
  }
  if (setup.output_nonblocking) {
    fcntl(out[1], F_SETFL, fcntl(out[1], F_GETFL) | O_NONBLOCK);
    fcntl(out[1], F_SETPIPE_SZ, 1);  // the system rounds it up to a page
  }
  if (setup.errors_full) fill(err[1]);
  const int full = setup.output_full || setup.errors_full_device
                       ? open("/dev/full", O_WRONLY | O_CLOEXEC)
                       : -1;
  typed_ = setup.input_terminal;
  child_streams streams{setup.input_closed ? -1
                        : typed_           ? out[1]
                                           : in[0],
                        setup.output_full ? full : given_out,
                        setup.errors_full_device ? full
                        : setup.errors_to_output ? out[1]
                                                 : err[1],
                        setup.output_terminal,
                        setup.ignored_signal,
                        setup.blocked_signal,
                        setup.network,
                        setup.argument,
                        setup.other_user ? nobody : -1,
                        setup.environment};
  // Nobody reads a closed output, from the program's first write on.
  if (setup.output_closed) close(out[0]);
  pid_ = start_program(path, streams);
  if (full >= 0) close(full);
  if (given_out != out[1]) close(given_out);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_ = in[1];
  out_ = setup.output_closed ? -1 : out[0];
  err_ = err[0];
  if (setup.errors_to_output) close_fd(err_);
}

program::~program() {
  for (int* fd : {&in_, &out_, &err_}) close_fd(*fd);
  kill_child(pid_);
}

void program::write_input(const std::string& text) {
  if (write(typed_ ? out_ : in_, text.data(), text.size()) !=
      static_cast<ssize_t>(text.size())) {
    fail("cannot write to the program");
  }
}

void program::send_signal(int signal) const {
  if (pid_ > 0) kill(pid_, signal);
}

void program::pause_output() {
  const char stop = '\x13';
  if (write(out_, &stop, 1) != 1) fail("cannot pause the terminal");
}

void program::resume_output() {
  const char start = '\x11';
  if (write(out_, &start, 1) != 1) fail("cannot resume the terminal");
}

void program::hang_up() { close_fd(out_); }

bool program::ends_within(std::chrono::milliseconds wait) {
  if (pid_ <= 0) return end_.exited;
  end_ = wait_for(pid_, process_clock::now() + wait, nullptr,
                  std::chrono::seconds(1), 0);
  if (end_.exited) pid_ = -1;
  return end_.exited;
}

bool program::wait_until(
    const std::function<bool(const std::string&, const std::string&)>& done,
    std::chrono::milliseconds wait) {
  return collect_until([&] { return done(out_text_, err_text_); }, wait);
}

bool program::collect_until(const std::function<bool()>& done,
                            std::chrono::milliseconds wait) {
  const auto deadline = process_clock::now() + wait;
  while (!done() && (out_ >= 0 || err_ >= 0)) {
    pollfd fds[] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (poll(fds, 2, remaining_ms(deadline)) <= 0) break;
    if (fds[0].revents != 0) {
      drain(out_, out_text_, out_datagrams_ ? &out_pieces_ : nullptr);
    }
    if (fds[1].revents != 0) drain(err_, err_text_);
  }
  return done();
}

bool program::wait_for_output(const std::string& ending,
                              std::chrono::milliseconds wait) {
  return collect_until(
      [&] {
        return out_text_.size() >= ending.size() &&
               out_text_.compare(out_text_.size() - ending.size(),
                                 ending.size(), ending) == 0;
      },
      wait);
}

bool program::read_output(std::size_t bytes, std::chrono::milliseconds wait) {
  const auto deadline = process_clock::now() + wait;
  while (bytes > 0 && out_ >= 0) {
    pollfd readable = {out_, POLLIN, 0};
    if (poll(&readable, 1, remaining_ms(deadline)) <= 0) return false;
    char chunk[4096];
    const ssize_t n = read(out_, chunk, std::min(bytes, sizeof chunk));
    if (n <= 0) return false;
    out_text_.append(chunk, n);
    bytes -= static_cast<std::size_t>(n);
  }
  return bytes == 0;
}

std::string program::read_error_line(std::chrono::milliseconds wait) {
  if (!collect_until([&] { return err_text_.find('\n') != std::string::npos; },
                     wait)) {
    return "";
  }
  const std::size_t end = err_text_.find('\n');
  std::string line = err_text_.substr(0, end);
  err_text_.erase(0, end + 1);
  return line;
}

outcome program::finish(const std::string& input,
                        std::chrono::milliseconds wait) {
  const auto deadline = process_clock::now() + wait;
  std::size_t written = 0;
  if (input.empty()) close_fd(in_);
  // A write that waits for the program's input to drain would keep its
  // output from being read.
  if (in_ >= 0) fcntl(in_, F_SETFL, fcntl(in_, F_GETFL) | O_NONBLOCK);
  while ((in_ >= 0 || out_ >= 0 || err_ >= 0) && remaining_ms(deadline) > 0) {
    pollfd fds[] = {{in_, POLLOUT, 0}, {out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (poll(fds, 3, remaining_ms(deadline)) <= 0) continue;
    if (fds[0].revents != 0) {
      const ssize_t n =
          write(in_, input.data() + written, input.size() - written);
      if (n > 0) written += n;
      if ((n < 0 && errno != EAGAIN) || written == input.size()) close_fd(in_);
    }
    if (fds[1].revents != 0) {
      drain(out_, out_text_, out_datagrams_ ? &out_pieces_ : nullptr);
    }
    if (fds[2].revents != 0) drain(err_, err_text_);
    // A datagram socket never tells that its peer has gone: once the
    // program's standard error has ended, what the socket holds is all.
    if (out_datagrams_ && err_ < 0 && out_ >= 0) {
      pollfd rest = {out_, POLLIN, 0};
      while (out_ >= 0 && poll(&rest, 1, 0) == 1) {
        drain(out_, out_text_, &out_pieces_);
      }
      close_fd(out_);
    }
  }
  if (pid_ > 0) {
    end_ = wait_for(pid_, deadline);
    if (end_.exited) pid_ = -1;
  }
  return {out_text_, err_text_, end_.status, end_.signal, end_.at, out_pieces_};
}

::testing::AssertionResult lasted_at_most(std::chrono::nanoseconds took,
                                          std::chrono::nanoseconds bound) {
  if (took <= bound) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "took " << in_ms(took) << ", more than " << in_ms(bound);
}

stream_setup with(bool stream_setup::*flag) {
  stream_setup setup;
  setup.*flag = true;
  return setup;
}

namespace {

// The PID of the tracer of process `pid`, or 0.
pid_t traced_by(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 10, "TracerPid:") == 0) {
      return static_cast<pid_t>(std::atol(line.c_str() + 10));
    }
  }
  return 0;
}

}  // namespace

tracer::tracer(pid_t traced, const char* calls) {
  char path[] = "/tmp/sentences-trace-XXXXXX";
  const int fd = mkstemp(path);
  if (fd >= 0) close(fd);
  path_ = path;
  const std::string pid = std::to_string(traced);
  const std::string what = std::string("trace=") + calls;
  pid_ = start_function([this, &pid, &what] {
    close_range(STDERR_FILENO + 1, ~0U, 0);
    execlp("strace", "strace", "-f", "-qq", "-e", what.c_str(), "-o",
           path_.c_str(), "-p", pid.c_str(), static_cast<char*>(nullptr));
    return 127;
  });
  // Attached, strace is the traced process's tracer.
  const auto deadline = process_clock::now() + default_wait;
  while (!(attached_ = traced_by(traced) != 0) &&
         process_clock::now() < deadline) {
    usleep(1000);
  }
}

tracer::~tracer() {
  kill_child(pid_);
  std::remove(path_.c_str());
}

std::string tracer::log() {
  wait_for(pid_, process_clock::now() + default_wait);
  pid_ = -1;
  std::ifstream file(path_);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::set<std::string> tracer::calls_made() {
  std::istringstream lines(log());
  std::set<std::string> calls;
  for (std::string line; std::getline(lines, line);) {
    // "123 name(...) = ..." or "123 <... name resumed>..."
    std::istringstream words(line);
    std::string pid, first;
    words >> pid >> first;
    if (first == "<...") words >> first;
    const std::size_t open = first.find('(');
    const std::string name = first.substr(0, open);
    if (!name.empty() && std::islower(static_cast<unsigned char>(name[0]))) {
      calls.insert(name);
    }
  }
  return calls;
}

int tracer::failed_writes_after_signal() {
  std::istringstream lines(log());
  bool signalled = false;
  int failed = 0;
  for (std::string line; std::getline(lines, line);) {
    signalled = signalled || line.find("--- SIG") != std::string::npos;
    if (signalled && line.find("EAGAIN") != std::string::npos) ++failed;
  }
  return failed;
}

bool strace_found() {
  return std::system("command -v strace >/dev/null 2>&1") == 0;
}

const char* server_path() {
  const char* path = std::getenv("SERVER_UNDER_TEST");
  return path != nullptr ? path : SERVER_PATH;
}

const char* client_path() {
  const char* path = std::getenv("CLIENT_UNDER_TEST");
  return path != nullptr ? path : CLIENT_PATH;
}

std::uint16_t free_port() {
  const udp_socket probe("0.0.0.0");
  return probe.port();
}

std::uint16_t start_server(program& server, const std::string& port_line,
                           std::string* said) {
  server.write_input(port_line);
  const std::string line = server.read_error_line();
  if (said != nullptr) *said = line;
  const std::uint16_t port = announced_port(line);
  if (port == 0) fail("server did not say its port: \"" + line + "\"");
  return port;
}
