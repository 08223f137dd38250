// Receives sentence datagrams on a UDP port and shows each with its sender's
// address, until a sentence meets the stop rule.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "common/console.h"
#include "common/exchange.h"
#include "common/losses.h"
#include "common/output.h"
#include "common/signals.h"

int main() {
  open_standard_descriptors();
  // The console streams need not keep pace with C stdio, which nothing here
  // uses: their own buffers spare a call into stdio for every write.
  std::ios::sync_with_stdio(false);
  char buffers[receive_batch][message_buffer_size];
  std::cout << "Please enter your listening port: ";
  const line_status answer = read_word(std::cin, buffers[0], sizeof buffers[0]);
  if (answer != line_status::whole) {
    end_unanswered_prompt();
    if (answer == line_status::failed) {
      return report_failure("server", "cannot read input");
    }
    std::cerr << "server: no listening port given\n";
    return 1;
  }

  sockaddr_in local;
  std::memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  local.sin_port = parse_port(buffers[0]);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0 ||
      bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    std::cerr << "server: cannot listen on port " << ntohs(local.sin_port)
              << ": " << std::strerror(errno) << '\n';
    return 1;
  }

  // A deep queue rides out a moment when the server is not scheduled; a
  // refusal is no reason to stop, so whatever the system grants is kept.
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

  // Interrupt, termination and hangup end the server only once it has shown
  // every line it has taken: they wait in `signals` until it looks.
  const int signals = watch_stop_signals();
  if (signals < 0 || end_waits_briefly(sock) != 0) {
    return report_failure("server", "cannot watch signals");
  }

  // Datagrams are taken in batches and their lines gathered, so that a burst
  // costs a few calls, not two a line.
  sockaddr_in senders[receive_batch];
  iovec parts[receive_batch];
  mmsghdr messages[receive_batch];
  std::memset(messages, 0, sizeof messages);
  for (std::size_t i = 0; i < receive_batch; ++i) {
    parts[i].iov_base = buffers[i];
    parts[i].iov_len = sizeof buffers[i];
    messages[i].msg_hdr.msg_name = &senders[i];
    messages[i].msg_hdr.msg_namelen = sizeof senders[i];
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }

  // Senders mostly repeat, so the dotted text is made anew only when the
  // sender changes.
  in_addr shown_sender{};
  const char* sender_text = inet_ntoa(shown_sender);
  line_output output;
  // Drops and stop signals take a call each to learn of, so the server looks
  // for them every few milliseconds, and whenever a wait has lasted a while.
  // Drops are told before the server waits, and once a second while busy.
  std::uint32_t told_drops = 0;
  auto next_look = report_clock::now();
  auto next_busy_tell = next_look;
  bool stopped = false;
  int stop_signal = 0;
  while (!stopped && stop_signal == 0) {
    const int count =
        recvmmsg(sock, messages, receive_batch, MSG_WAITFORONE, nullptr);
    if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK &&
        errno != EINTR) {
      return report_failure("server", "receive failed");
    }
    for (int i = 0; i < count && !stopped; ++i) {
      if (senders[i].sin_addr.s_addr != shown_sender.s_addr) {
        shown_sender = senders[i].sin_addr;
        sender_text = inet_ntoa(shown_sender);
      }
      const std::size_t length =
          bound_sentence(buffers[i], messages[i].msg_len);
      if (!add_line(output, STDOUT_FILENO, sender_text, buffers[i], length)) {
        return report_failure("server", "cannot write output");
      }
      stopped = is_stop_sentence(buffers[i]);
    }
    if (stopped) break;
    // A batch that is not full emptied the queue, so the next receive waits.
    const bool waits_next = count < static_cast<int>(receive_batch);
    const auto now = report_clock::now();
    const bool looks = count <= 0 || now >= next_look;
    const bool tells = looks && (waits_next || now >= next_busy_tell);
    // Every line is on the console before the server waits, and before the
    // drops that came after it are told.
    if ((waits_next || tells) && !write_out(output, STDOUT_FILENO)) {
      return report_failure("server", "cannot write output");
    }
    if (looks) {
      next_look = now + look_interval;
      stop_signal = taken_signal(signals);
    }
    if (tells && tell_drops(sock, told_drops)) {
      next_busy_tell = now + loss_report_interval;
    }
  }
  if (!write_out(output, STDOUT_FILENO)) {
    return report_failure("server", "cannot write output");
  }
  tell_drops(sock, told_drops);
  return stop_signal != 0 ? end_by_signal(stop_signal) : 0;
}
