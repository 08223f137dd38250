// UDP sockets on loopback addresses for the tests and the benchmark.
#ifndef SUPPORT_UDP_H_
#define SUPPORT_UDP_H_

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// 127.0.0.1 and `port`.
sockaddr_in loopback_address(std::uint16_t port);

// Waits until some UDP socket is bound to `port`, as the system lists its
// sockets, without taking the port to find out, for `limit` at most; tells
// whether one is.
bool await_udp_port(std::uint16_t port, std::chrono::milliseconds limit);

// A UDP socket as the system lists it: the bytes its receive queue holds,
// and the datagrams it dropped because that queue was full.
struct udp_port_state {
  bool found = false;
  long queued = 0;
  long drops = 0;
};

// The state of the UDP socket bound to `port`, read from /proc/net/udp.
udp_port_state state_of_udp_port(std::uint16_t port);

// A UDP socket bound to a loopback address, with the deepest receive queue
// the system grants; closed when this goes away.
class udp_socket {
 public:
  explicit udp_socket(const char* address = "127.0.0.1",
                      std::uint16_t port = 0);
  ~udp_socket();
  udp_socket(const udp_socket&) = delete;
  udp_socket& operator=(const udp_socket&) = delete;

  int fd() const { return fd_; }
  std::uint16_t port() const;
  void send_to(std::uint16_t port, const std::string& payload) const;
  // The next datagram's bytes, or nothing if none comes within `wait`.
  std::optional<std::string> receive(std::chrono::milliseconds wait) const;

 private:
  int fd_;
};

#endif  // SUPPORT_UDP_H_
