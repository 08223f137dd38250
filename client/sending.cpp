#include "client/sending.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/filter.h>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/console.h"

namespace {

// Tells whether a send that failed with `error` may have failed for an
// earlier sentence: the system reports an error that came back from the
// network at the next send, which it then does not make.
bool may_be_earlier(int error) {
  switch (error) {
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENONET:
    case ENOPROTOOPT:
    case EPROTO:
    case EMSGSIZE:
    case EOPNOTSUPP:
      return true;
    default:
      return false;
  }
}

// Notes a sentence sent now, and the counts as they stood when a new
// interval began.
void note_sent(returned_errors& errors) {
  const auto now = report_clock::now();
  if (errors.sent == 0 ||
      now - errors.notes[errors.newest_note].at >= note_interval) {
    errors.newest_note = (errors.newest_note + 1) % notes_kept;
    errors.notes[errors.newest_note] = {now, errors.sent, errors.returned};
  }
  ++errors.sent;
  errors.last_sent = now;
}

// The way out is full (a device queue, say): a moment's pause lets it drain.
constexpr int room_pause_ms = 1;

// The room the system takes for the report of an error that came back: the
// ICMP message as it arrived, and what it keeps beside it.
constexpr std::uint32_t report_room = 2048;

// Tells whether the system could queue another report on `sock`: what its
// receive queue holds leaves room for one. When it cannot be told, it is
// taken to have room, so that no error is counted twice.
bool has_room_for_a_report(int sock) {
  std::uint32_t memory[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof memory;
  return getsockopt(sock, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0 ||
         length <= SK_MEMINFO_RCVBUF * sizeof memory[0] ||
         memory[SK_MEMINFO_RMEM_ALLOC] + report_room <
             memory[SK_MEMINFO_RCVBUF];
}

}  // namespace

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
  // queue with the errno it stands for.
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
    if (recvmsg(sock, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) break;
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
  // The latest error also stays pending on the socket: taken, it stops no
  // send and wakes no wait. It is counted only if the system had no room
  // for its report, else the report stands for it.
  int pending = 0;
  socklen_t length = sizeof pending;
  if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &pending, &length) == 0 &&
      may_be_earlier(pending) && !has_room_for_a_report(sock) &&
      count_error(errors, pending)) {
    ++found;
  }
  return found;
}

bool refuse_datagrams(int sock) {
  // A filter that keeps nothing: what comes is dropped, and is no reason to
  // stop; the error reports, which no filter sees, keep their room.
  sock_filter keep_nothing[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
  const sock_fprog program = {1, keep_nothing};
  const int locked = 1;
  return setsockopt(sock, SOL_SOCKET, SO_ATTACH_FILTER, &program,
                    sizeof program) == 0 &&
         setsockopt(sock, SOL_SOCKET, SO_LOCK_FILTER, &locked, sizeof locked) ==
             0;
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
  // Tries stopped by an error that no report stands for: the send cannot go
  // for itself, or the report was read already (the system queues it a
  // moment before it stops the next send; none is dropped, as no datagram
  // takes the reports' room).
  int unreported = 0;
  report_clock::time_point room_deadline{};
  for (;;) {
    if (send(sock, sentence, size, 0) >= 0) {
      note_sent(errors);
      return true;
    }
    const int error = errno;
    if (error == ENOBUFS || error == EAGAIN) {
      const auto now = report_clock::now();
      if (room_deadline == report_clock::time_point{}) {
        room_deadline = now + room_wait_limit;
      }
      if (now >= room_deadline) {
        errno = error;
        return false;
      }
      poll(nullptr, 0, room_pause_ms);
    } else if (error != EINTR) {
      if (!may_be_earlier(error)) return false;
      if (count_returned(sock, errors) == 0) {
        // A send that cannot go for itself fails as often as it is tried.
        if (++unreported > unreported_tries) {
          errno = error;
          return false;
        }
      }
    }
  }
}

void await_late_errors(int sock, returned_errors& errors) {
  if (errors.sent == 0) return;
  const auto deadline = errors.last_sent + late_error_wait;
  // The counts as they stood a wait's length before the last sentence (or
  // at the start, if that was later): the sentences sent since are those
  // whose errors may still be on their way.
  const auto window_start = errors.last_sent - late_error_wait;
  std::size_t since = errors.newest_note;
  for (std::size_t back = 0; back < notes_kept; ++back) {
    since = (errors.newest_note + notes_kept - back) % notes_kept;
    if (errors.notes[since].at <= window_start) break;
  }
  const unsigned long awaited = errors.sent - errors.notes[since].sent;
  const unsigned long earlier = errors.notes[since].returned;
  for (auto now = report_clock::now();
       errors.returned - earlier < awaited && now < deadline;
       now = report_clock::now()) {
    // An error waiting in the queue wakes the poll.
    pollfd errors_ready = {sock, 0, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    if (poll(&errors_ready, 1, static_cast<int>(left.count()) + 1) < 0 &&
        errno != EINTR) {
      return;
    }
    count_returned(sock, errors);
  }
}
