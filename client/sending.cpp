#include "client/sending.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "common/console.h"

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
  tell("client", "%lu %s refused by %s port %u: %s", refused.untold,
       refused.untold == 1 ? "sentence" : "sentences", inet_ntoa(to.sin_addr),
       ntohs(to.sin_port), std::strerror(refused.reason));
  refused.untold = 0;
  refused.next_tell = now + refusal_report_interval;
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
