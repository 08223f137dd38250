#include "client/sending.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/console.h"

bool count_error(returned_errors& errors, int reason) {
  if (errors.returned >= errors.sent) return false;
  ++errors.returned;
  // The slot of this reason, else the first free one, else the last.
  returned_errors::by_reason* const last = &errors.reasons[error_reasons - 1];
  returned_errors::by_reason* const slot =
      std::find_if(errors.reasons, last, [reason](const auto& candidate) {
        return candidate.reason == reason || candidate.reason == 0;
      });
  if (slot->reason == 0) slot->reason = reason;
  ++slot->untold;
  return true;
}

unsigned long count_returned(int sock, returned_errors& errors) {
  // Each error that came back from the network waits in the socket's error
  // queue with the errno it stands for; taking them all clears the error
  // that the next send would otherwise report.
  unsigned long found = 0;
  for (;;) {
    // Room for an error and its sender, and for whatever else the system
    // puts beside them (a time stamp, say).
    alignas(cmsghdr) char control[4 * CMSG_SPACE(sizeof(sock_extended_err) +
                                                 sizeof(sockaddr_in))];
    msghdr message;
    std::memset(&message, 0, sizeof message);
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (recvmsg(sock, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return found;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
         c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR) continue;
      sock_extended_err error;
      std::memcpy(&error, CMSG_DATA(c), sizeof error);
      // Only an ICMP error stands for a sentence that came back; the system
      // queues errors of its own there too.
      if (error.ee_origin != SO_EE_ORIGIN_ICMP) continue;
      ++found;
      count_error(errors, static_cast<int>(error.ee_errno));
    }
  }
}

void tell_returned(const char* program, returned_errors& errors,
                   const sockaddr_in& to, bool all) {
  const auto now = report_clock::now();
  if (!all && now < errors.next_tell) return;
  bool told = false;
  for (auto& slot : errors.reasons) {
    if (slot.untold == 0) continue;
    tell(program, "%lu %s %s %s port %u: %s", slot.untold,
         slot.untold == 1 ? "sentence" : "sentences",
         slot.reason == ECONNREFUSED ? "refused by" : "undeliverable to",
         inet_ntoa(to.sin_addr), ntohs(to.sin_port),
         std::strerror(slot.reason));
    slot.untold = 0;
    told = true;
  }
  if (told) errors.next_tell = now + error_report_interval;
}

bool send_sentence(int sock, const char* sentence, returned_errors& errors) {
  const std::size_t size = std::strlen(sentence) + 1;
  ssize_t sent = send(sock, sentence, size, 0);
  if (sent < 0) {
    const int error = errno;
    // An error queue too full to hold the report still leaves the refusal,
    // the one error that a send on this machine never makes of itself.
    const bool earlier = count_returned(sock, errors) > 0 ||
                         (error == ECONNREFUSED && count_error(errors, error));
    if (!earlier) {
      errno = error;
      return false;
    }
    sent = send(sock, sentence, size, 0);
  }
  if (sent >= 0) {
    errors.sent_at[errors.sent % recent_sends] = report_clock::now();
    ++errors.sent;
  }
  return sent >= 0;
}

void await_late_errors(int sock, returned_errors& errors) {
  if (errors.sent == 0) return;
  const auto last = errors.sent_at[(errors.sent - 1) % recent_sends];
  const auto deadline = last + late_error_wait;
  // The sentences of the last wait's length: those whose errors may still
  // be on their way.
  unsigned long awaited = 0;
  while (awaited < std::min<unsigned long>(errors.sent, recent_sends) &&
         errors.sent_at[(errors.sent - 1 - awaited) % recent_sends] >=
             last - late_error_wait) {
    ++awaited;
  }
  unsigned long came = 0;
  for (auto now = report_clock::now(); came < awaited && now < deadline;
       now = report_clock::now()) {
    // An error waiting in the queue wakes the poll.
    pollfd errors_ready = {sock, 0, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    if (poll(&errors_ready, 1, static_cast<int>(left.count()) + 1) < 0 &&
        errno != EINTR) {
      return;
    }
    came += count_returned(sock, errors);
  }
}
