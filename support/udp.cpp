#include "support/udp.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

sockaddr_in loopback_address(std::uint16_t port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

udp_port_state state_of_udp_port(std::uint16_t port) {
  // Each line after the heading gives a socket's number, its local and
  // remote address and port, its state, the bytes its queues hold, timers,
  // its owner and inode, and last its drops, in hexadecimal where a colon
  // joins two numbers: "12: 00000000:1F90 00000000:0000 07
  // 00000000:00000000 00:00000000 00000000 0 0 1234 2 ffff... 0".
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string number, local, remote, state, queues, timer, retransmits, uid,
        timeout, inode, references, pointer;
    long drops = 0;
    fields >> number >> local >> remote >> state >> queues >> timer >>
        retransmits >> uid >> timeout >> inode >> references >> pointer >>
        drops;
    const std::size_t colon = local.find(':');
    if (!fields || colon == std::string::npos ||
        std::strtoul(local.c_str() + colon + 1, nullptr, 16) != port) {
      continue;
    }
    udp_port_state found;
    found.found = true;
    found.queued =
        std::strtol(queues.c_str() + queues.find(':') + 1, nullptr, 16);
    found.drops = drops;
    return found;
  }
  return {};
}

bool await_udp_port(std::uint16_t port, std::chrono::milliseconds limit) {
  constexpr std::chrono::milliseconds pause(10);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!state_of_udp_port(port).found) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
  }
  return true;
}

udp_socket::udp_socket(const char* address, std::uint16_t port)
    : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  const int queue = 1 << 30;  // capped by the system, as the server's is
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &queue, sizeof queue);
  sockaddr_in local = loopback_address(port);
  inet_pton(AF_INET, address, &local.sin_addr);
  if (fd_ < 0 ||
      bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    if (fd_ >= 0) close(fd_);
    throw std::runtime_error(std::string("cannot bind a socket to ") + address);
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
  const sockaddr_in peer = loopback_address(port);
  if (sendto(fd_, payload.data(), payload.size(), 0,
             reinterpret_cast<const sockaddr*>(&peer),
             sizeof peer) != static_cast<ssize_t>(payload.size())) {
    throw std::runtime_error("cannot send a datagram");
  }
}

std::optional<std::string> udp_socket::receive(
    std::chrono::milliseconds wait) const {
  pollfd readable = {fd_, POLLIN, 0};
  if (poll(&readable, 1, static_cast<int>(wait.count())) <= 0) {
    return std::nullopt;
  }
  char payload[65536];
  const ssize_t n = recv(fd_, payload, sizeof payload, 0);
  if (n < 0) return std::nullopt;
  return std::string(payload, n);
}
