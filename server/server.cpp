// Receives sentence datagrams on a UDP port and shows each with its sender's
// address, until a sentence meets the stop rule.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <iomanip>
#include <iostream>

#include "common/exchange.h"

int main() {
  char buffer[message_buffer_size];
  std::cout << "Please enter your listening port: ";
  if (!(std::cin >> std::setw(sizeof buffer) >> buffer)) {
    std::cerr << "server: no listening port given\n";
    return 1;
  }

  sockaddr_in local;
  std::memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  local.sin_port = parse_port(buffer);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0 ||
      bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    std::cerr << "server: cannot listen on port " << ntohs(local.sin_port)
              << ": " << std::strerror(errno) << '\n';
    return 1;
  }

  setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &receive_buffer_request,
             sizeof receive_buffer_request);

  // The system picked the port: say which, or nobody could reach us.
  socklen_t local_length = sizeof local;
  if (local.sin_port == 0 &&
      getsockname(sock, reinterpret_cast<sockaddr*>(&local), &local_length) ==
          0) {
    std::cerr << "server: listening on port " << ntohs(local.sin_port)
              << std::endl;
  }

  sockaddr_in sender;
  socklen_t sender_length = sizeof sender;
  char line[sender_line_size];
  for (;;) {
    const ssize_t received =
        recvfrom(sock, buffer, sizeof buffer, 0,
                 reinterpret_cast<sockaddr*>(&sender), &sender_length);
    if (received < 0) {
      if (errno == EINTR) continue;
      std::cerr << "server: receive failed: " << std::strerror(errno) << '\n';
      return 1;
    }
    const std::size_t length = bound_sentence(buffer, received);
    std::cout
        .write(line, format_sender_line(inet_ntoa(sender.sin_addr), buffer,
                                        length, line))
        .flush();
    if (!std::cout) {
      std::cerr << "server: cannot write output: " << std::strerror(errno)
                << '\n';
      return 1;
    }
    if (is_stop_sentence(buffer)) return 0;
  }
}
