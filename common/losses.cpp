#include "common/losses.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace {

// The system's count of datagrams dropped for `sock` because its receive
// queue was full; the count wraps around.
std::uint32_t dropped_datagrams(int sock) {
  std::uint32_t memory[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof memory;
  if (getsockopt(sock, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0 ||
      length <= SK_MEMINFO_DROPS * sizeof memory[0]) {
    return 0;
  }
  return memory[SK_MEMINFO_DROPS];
}

}  // namespace

bool tell_drops(int sock, std::uint32_t& told) {
  const std::uint32_t dropped = dropped_datagrams(sock);
  const std::uint32_t count = dropped - told;
  if (count == 0) return false;
  told = dropped;
  std::cerr << "server: " << count << (count == 1 ? " datagram" : " datagrams")
            << " dropped: receive queue full\n";
  return true;
}

void count_refusals(int sock, refusal_count& refused) {
  // Each error that came back from the network waits in the socket's error
  // queue with the errno it stands for; taking them all clears the error
  // that the next send would otherwise report.
  for (;;) {
    char control[CMSG_SPACE(sizeof(sock_extended_err) + sizeof(sockaddr_in))];
    msghdr message;
    std::memset(&message, 0, sizeof message);
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (recvmsg(sock, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
         c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR) continue;
      sock_extended_err error;
      std::memcpy(&error, CMSG_DATA(c), sizeof error);
      if (error.ee_origin != SO_EE_ORIGIN_ICMP) continue;
      ++refused.total;
      ++refused.untold;
      refused.reason = static_cast<int>(error.ee_errno);
    }
  }
}

void tell_refusals(refusal_count& refused, const sockaddr_in& to, bool all) {
  const auto now = report_clock::now();
  if (refused.untold == 0 || (!all && now < refused.next_tell)) return;
  std::cerr << "client: " << refused.untold
            << (refused.untold == 1 ? " sentence" : " sentences")
            << " refused by " << inet_ntoa(to.sin_addr) << " port "
            << ntohs(to.sin_port) << ": " << std::strerror(refused.reason)
            << '\n';
  refused.untold = 0;
  refused.next_tell = now + loss_report_interval;
}

bool send_sentence(int sock, const char* sentence, refusal_count& refused) {
  const std::size_t size = std::strlen(sentence) + 1;
  ssize_t sent = send(sock, sentence, size, 0);
  if (sent < 0 && errno == ECONNREFUSED) {
    const unsigned long before = refused.total;
    count_refusals(sock, refused);
    // An error queue too full to hold the report still leaves the refusal.
    if (refused.total == before) {
      ++refused.total;
      ++refused.untold;
      refused.reason = ECONNREFUSED;
    }
    sent = send(sock, sentence, size, 0);
  }
  return sent >= 0;
}
