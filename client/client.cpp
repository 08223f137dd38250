// Sends each typed sentence as one datagram to a server fixed at the start,
// until a sentence meets the stop rule.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "client/destination.h"
#include "client/sending.h"
#include "common/console.h"
#include "common/line_window.h"
#include "common/sentence.h"

int main(int argc, char** argv) {
  const int answered = answer_arguments(
      argc, argv, "client", "Usage: client [--help | --version]",
      "Sends each line typed to a server over UDP, one datagram a sentence,\n"
      "until a line \"Quit\".\n"
      "It asks for the server's port and IPv4 address: run it without\n"
      "arguments.\n"
      "See man client (or man -l man/client.1).\n");
  if (answered >= 0) return answered;
  open_standard_descriptors();
  console c;
  c.program = "client";
  // Prompts that nobody reads are no reason to stop sending.
  std::signal(SIGPIPE, SIG_IGN);
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) return report_failure("client", "cannot create socket");

  sockaddr_in server;
  std::memset(&server, 0, sizeof server);
  server.sin_family = AF_INET;

  char port_text[port_line_limit + line_end_room];
  if (!ask_line(c, "Please enter the server port: ", "server port", port_text,
                sizeof port_text)) {
    return 1;
  }
  server.sin_port = parse_port(port_text);
  if (server.sin_port == 0) {
    tell("client", "invalid server port: %s", port_text);
    return 1;
  }

  char address_text[address_line_limit + line_end_room];
  if (!ask_line(c, "Please enter the server IP: ", "server IP", address_text,
                sizeof address_text)) {
    return 1;
  }
  if (!parse_address(address_text, server.sin_addr)) {
    tell("client",
         "invalid server IP: %s (give a numeric IPv4 address, such as "
         "127.0.0.1)",
         address_text);
    return 1;
  }

  // Connected, the socket learns when the destination refuses a sentence,
  // and a destination the system will never send to is refused here, before
  // anything is typed; each refusal is also kept in the error queue, so that
  // every one is counted.
  const int report_errors = 1;
  if (setsockopt(sock, SOL_IP, IP_RECVERR, &report_errors,
                 sizeof report_errors) != 0 ||
      connect(sock, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
    const int error = errno;
    tell("client", "cannot send to %s port %u: %s", inet_ntoa(server.sin_addr),
         ntohs(server.sin_port), std::strerror(error));
    return 1;
  }

  // A line longer than a sentence goes on as the next sentences, so nothing
  // typed is lost; the prompt asks for a line, not for each of its pieces.
  bool failed = false;
  returned_errors errors;
  line_reader reader;
  char sentence[message_buffer_size];
  for (;;) {
    // Errors that have come back are told before the client waits.
    if (!has_input(c)) count_returned(sock, errors);
    tell_returned(errors, server, false);
    if (starts_line(reader)) {
      show_prompt(c, "Type a sentence to send to the server: ");
    }
    const line_status status = next_sentence(c, reader, sentence);
    if (status == line_status::none) {
      end_unanswered_prompt(c);
      break;
    }
    if (status == line_status::failed) {
      end_unanswered_prompt(c);
      report_failure("client", "cannot read input");
      failed = true;
      break;
    }
    if (!send_sentence(sock, sentence, errors)) {
      report_failure("client", "send failed");
      failed = true;
    }
    if (is_stop_sentence(sentence)) break;
  }
  // On loopback an error comes back within the send; across a network a
  // round trip later, when the client could have gone.
  if ((ntohl(server.sin_addr.s_addr) >> 24) != IN_LOOPBACKNET) {
    await_late_errors(sock, errors);
  }
  write_prompts(c);
  count_returned(sock, errors);
  tell_returned(errors, server, true);
  return failed || errors.returned > 0 ? 1 : 0;
}
