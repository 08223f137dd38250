#include "bench/receivers.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "bench/traffic.h"
#include "support/udp.h"

namespace {

constexpr std::size_t send_batch = 64;
constexpr std::size_t receive_batch = 32;
constexpr std::size_t payload_size = 1024;
constexpr auto quiet_spell = std::chrono::seconds(3);

bool is_quit(const char* payload, std::size_t length) {
  return length >= 4 && std::memcmp(payload, "Quit", 4) == 0 &&
         (length == 4 || payload[4] == '\0');
}

}  // namespace

int send_one_by_one(std::uint16_t port, const std::vector<std::string>& all) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in to = loopback_address(port);
  for (const auto& payload : all) {
    sendto(fd, payload.data(), payload.size(), 0,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  return 0;
}

int send_batched(std::uint16_t port, const std::vector<std::string>& all) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to = loopback_address(port);
  std::vector<iovec> parts(all.size());
  std::vector<mmsghdr> messages(all.size());
  for (std::size_t i = 0; i < all.size(); ++i) {
    parts[i] = {const_cast<char*>(all[i].data()), all[i].size()};
    messages[i] = {};
    messages[i].msg_hdr.msg_name = &to;
    messages[i].msg_hdr.msg_namelen = sizeof to;
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  for (std::size_t sent = 0; sent < all.size();) {
    const int n = sendmmsg(fd, messages.data() + sent,
                           std::min(send_batch, all.size() - sent), 0);
    if (n <= 0) return 1;
    sent += n;
  }
  return 0;
}

int count_datagrams(int fd, int report) {
  timeval quiet{std::chrono::seconds(quiet_spell).count(), 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
  char buffer[65536];
  long count = 0;
  int quit = 0;
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0) break;
    if (is_quit(buffer, n)) {
      quit = 1;
      break;
    }
    ++count;
  }
  const std::string line =
      std::to_string(count) + " " + std::to_string(quit) + "\n";
  return write(report, line.data(), line.size()) > 0 ? 0 : 1;
}

int print_datagrams(int fd, int out) {
  static constexpr char says[] = " says: ";
  static constexpr char line_end[] = "\n";
  if (write(out, server_prompt, sizeof server_prompt - 1) < 0) return 1;
  char buffers[receive_batch][payload_size];
  sockaddr_in senders[receive_batch];
  iovec parts[receive_batch];
  mmsghdr messages[receive_batch] = {};
  for (std::size_t i = 0; i < receive_batch; ++i) {
    parts[i].iov_base = buffers[i];
    parts[i].iov_len = sizeof buffers[i];
    messages[i].msg_hdr.msg_name = &senders[i];
    messages[i].msg_hdr.msg_namelen = sizeof senders[i];
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  // Each line is four pieces: the address, " says: ", the payload and the
  // line end. The address is made only when the sender changes, in the slot
  // of the datagram that changed it; the last one of a batch moves to the
  // spare slot, so the next batch cannot write over it while lines use it.
  iovec lines[receive_batch * 4];
  char addresses[receive_batch + 1][INET_ADDRSTRLEN];
  char* const carried = addresses[receive_batch];
  in_addr shown_sender{};
  iovec address = {nullptr, 0};
  for (;;) {
    const int count =
        recvmmsg(fd, messages, receive_batch, MSG_WAITFORONE, nullptr);
    if (count < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (address.iov_base != nullptr && address.iov_base != carried) {
      std::memcpy(carried, address.iov_base, sizeof addresses[0]);
      address.iov_base = carried;
    }
    std::size_t pieces = 0;
    bool quit = false;
    for (int i = 0; i < count && !quit; ++i) {
      if (address.iov_base == nullptr ||
          senders[i].sin_addr.s_addr != shown_sender.s_addr) {
        shown_sender = senders[i].sin_addr;
        inet_ntop(AF_INET, &shown_sender, addresses[i], sizeof addresses[i]);
        address = {addresses[i], std::strlen(addresses[i])};
      }
      const std::size_t length = strnlen(buffers[i], messages[i].msg_len);
      lines[pieces++] = address;
      lines[pieces++] = {const_cast<char*>(says), sizeof says - 1};
      lines[pieces++] = {buffers[i], length};
      lines[pieces++] = {const_cast<char*>(line_end), 1};
      quit = is_quit(buffers[i], length);
    }
    if (writev(out, lines, static_cast<int>(pieces)) < 0) return 1;
    if (quit) return 0;
  }
}
