#include "tests/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace {

using clock_type = std::chrono::steady_clock;

int remaining_ms(clock_type::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - clock_type::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void fail(const std::string& what) { throw std::runtime_error(what); }

// Moves what is readable on `fd` into `text`; closes it at end of file.
void drain(int& fd, std::string& text) {
  char chunk[65536];
  const ssize_t n = read(fd, chunk, sizeof chunk);
  if (n > 0) {
    text.append(chunk, n);
  } else if (n == 0 || errno != EINTR) {
    close(fd);
    fd = -1;
  }
}

}  // namespace

program::program(const char* path) {
  // A write to a program that has already ended must fail, not kill the test.
  signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
      pipe2(err, O_CLOEXEC) != 0) {
    fail("pipe");
  }
  pid_ = fork();
  if (pid_ < 0) fail("fork");
  if (pid_ == 0) {
    signal(SIGPIPE, SIG_DFL);
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execl(path, path, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
}

program::~program() {
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0) close(fd);
  }
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void program::write_input(const std::string& text) {
  if (write(in_, text.data(), text.size()) !=
      static_cast<ssize_t>(text.size())) {
    fail("cannot write to the program");
  }
}

bool program::wait_for_output(const std::string& ending,
                              std::chrono::milliseconds wait) {
  const auto deadline = clock_type::now() + wait;
  const auto ends_with_it = [&] {
    return out_text_.size() >= ending.size() &&
           out_text_.compare(out_text_.size() - ending.size(), ending.size(),
                             ending) == 0;
  };
  while (!ends_with_it() && out_ >= 0) {
    pollfd p = {out_, POLLIN, 0};
    if (poll(&p, 1, remaining_ms(deadline)) <= 0) break;
    drain(out_, out_text_);
  }
  return ends_with_it();
}

std::string program::read_error_line(std::chrono::milliseconds wait) {
  const auto deadline = clock_type::now() + wait;
  std::size_t end;
  while ((end = err_text_.find('\n')) == std::string::npos && err_ >= 0) {
    pollfd p = {err_, POLLIN, 0};
    if (poll(&p, 1, remaining_ms(deadline)) <= 0) break;
    drain(err_, err_text_);
  }
  if (end == std::string::npos) return "";
  std::string line = err_text_.substr(0, end);
  err_text_.erase(0, end + 1);
  return line;
}

outcome program::finish(const std::string& input,
                        std::chrono::milliseconds wait) {
  const auto deadline = clock_type::now() + wait;
  std::size_t written = 0;
  if (input.empty()) {
    close(in_);
    in_ = -1;
  }
  while ((in_ >= 0 || out_ >= 0 || err_ >= 0) && remaining_ms(deadline) > 0) {
    pollfd fds[] = {{in_, POLLOUT, 0}, {out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (poll(fds, 3, remaining_ms(deadline)) <= 0) continue;
    if (fds[0].revents != 0) {
      const ssize_t n =
          write(in_, input.data() + written, input.size() - written);
      if (n > 0) written += n;
      if (n < 0 || written == input.size()) {
        close(in_);
        in_ = -1;
      }
    }
    if (fds[1].revents != 0) drain(out_, out_text_);
    if (fds[2].revents != 0) drain(err_, err_text_);
  }
  outcome result{out_text_, err_text_, -1};
  int status = 0;
  pid_t ended = 0;
  while ((ended = waitpid(pid_, &status, WNOHANG)) == 0 &&
         remaining_ms(deadline) > 0) {
    usleep(1000);
  }
  if (ended == pid_) {
    pid_ = -1;
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  }
  return result;
}

udp_socket::udp_socket(const char* address, std::uint16_t port)
    : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in local;
  std::memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  inet_pton(AF_INET, address, &local.sin_addr);
  if (fd_ < 0 ||
      bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    fail(std::string("cannot bind a test socket to ") + address);
  }
}

udp_socket::~udp_socket() { close(fd_); }

std::uint16_t udp_socket::port() const {
  sockaddr_in local;
  socklen_t length = sizeof local;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
  return ntohs(local.sin_port);
}

void udp_socket::send_to(std::uint16_t port, const std::string& payload) const {
  sockaddr_in peer;
  std::memset(&peer, 0, sizeof peer);
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (sendto(fd_, payload.data(), payload.size(), 0,
             reinterpret_cast<sockaddr*>(&peer),
             sizeof peer) != static_cast<ssize_t>(payload.size())) {
    fail("sendto");
  }
}

std::optional<std::string> udp_socket::receive(
    std::chrono::milliseconds wait) const {
  pollfd p = {fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(wait.count())) <= 0) return std::nullopt;
  char payload[65536];
  const ssize_t n = recv(fd_, payload, sizeof payload, 0);
  if (n < 0) return std::nullopt;
  return std::string(payload, n);
}

std::uint16_t start_server(program& server, const std::string& port_line) {
  server.write_input(port_line);
  const std::string prefix = "server: listening on port ";
  const std::string line = server.read_error_line();
  if (line.compare(0, prefix.size(), prefix) != 0) {
    fail("server did not say its port: \"" + line + "\"");
  }
  return static_cast<std::uint16_t>(std::stoi(line.substr(prefix.size())));
}
