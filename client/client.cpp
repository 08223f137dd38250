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
#include "common/escape.h"
#include "common/line_window.h"
#include "common/receive_room.h"
#include "common/sandbox.h"
#include "common/sentence.h"

namespace {

// The name the program was built with, which it says in its messages.
constexpr char program[] = PROGRAM_NAME;

// Asks for the server's port and address into `server`; false, said why, if
// an answer is missing or is not one. A port out of range is said, and the
// port it wraps to taken.
bool ask_server(console& c, sockaddr_in& server) {
  std::memset(&server, 0, sizeof server);
  server.sin_family = AF_INET;
  char shown[message_line_size];
  char port_text[port_line_limit + line_end_room];
  std::size_t length;
  if (!ask_line(c, "Please enter the server port: ", "server port", port_text,
                sizeof port_text, length)) {
    return false;
  }
  server.sin_port = parse_port(port_text);
  if (server.sin_port == 0) {
    tell(program, "invalid server port: %s (give a number from 1 to 65535)",
         shown_text(port_text, length, shown, sizeof shown));
    return false;
  }
  if (!port_in_range(port_text)) {
    tell(program, "port %s is out of range: sending to port %u",
         shown_text(port_text, length, shown, sizeof shown),
         ntohs(server.sin_port));
  }
  char address_text[address_line_limit + line_end_room];
  if (!ask_line(c, "Please enter the server IP: ", "server IP", address_text,
                sizeof address_text, length)) {
    return false;
  }
  if (!parse_address(address_text, length, server.sin_addr)) {
    tell(program,
         "invalid server IP: %s (give a numeric IPv4 address, such as "
         "127.0.0.1)",
         shown_text(address_text, length, shown, sizeof shown));
    return false;
  }
  return true;
}

// Connects `sock` to `server`; false, said why, if the system will never
// send there.
bool connect_to(int sock, const sockaddr_in& server) {
  // Connected, the socket learns when the destination refuses a sentence,
  // and a destination the system will never send to is refused here, before
  // anything is typed; each refusal is also kept in the error queue, so that
  // every one is counted.
  const int report_errors = 1;
  // The reports wait in the room the system keeps for what comes to the
  // socket: the most it allows, so that a stream of errors drops none, and
  // no datagram anyone sends back may take it (without the filter, the
  // count of dropped reports makes up for them).
  deepen_queue(sock);
  refuse_datagrams(sock);
  if (setsockopt(sock, SOL_IP, IP_RECVERR, &report_errors,
                 sizeof report_errors) != 0 ||
      connect(sock, reinterpret_cast<const sockaddr*>(&server),
              sizeof server) != 0) {
    const int error = errno;
    tell(program, "cannot send to %s port %u: %s", inet_ntoa(server.sin_addr),
         ntohs(server.sin_port), std::strerror(error));
    return false;
  }
  return true;
}

// Sends each sentence of the input until the stop sentence or the input's
// end, telling the errors that come back on the way; false if the input
// could not be read or a sentence could not be sent.
bool send_lines(console& c, int sock, const sockaddr_in& server,
                returned_errors& errors) {
  // A line longer than a sentence goes on as the next sentences, so nothing
  // typed is lost; the prompt asks for a line, not for each of its pieces.
  bool failed = false;
  line_reader reader;
  char sentence[message_buffer_size];
  for (;;) {
    // Errors that have come back are told before the client waits.
    if (!has_input(c)) count_returned(sock, errors);
    tell_returned(program, errors, server, false);
    if (starts_line(reader)) {
      show_prompt(c, "Type a sentence to send to the server: ");
    }
    const line_status status = next_sentence(c, reader, sentence);
    end_input_line(c);
    if (status == line_status::none) {
      end_unanswered_prompt(c);
      return !failed;
    }
    if (status == line_status::failed) {
      end_unanswered_prompt(c);
      report_failure(program, "cannot read input");
      return false;
    }
    if (!send_sentence(sock, sentence, errors)) {
      report_failure(program, "send failed");
      failed = true;
    }
    if (is_stop_sentence(sentence)) return !failed;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int answered = answer_arguments(
      argc, argv, program, "Usage: " PROGRAM_NAME " [--help | --version]",
      "Sends each line typed to a server over UDP, one datagram a sentence,\n"
      "until a line \"Quit\".\n"
      "It asks for the server's port and IPv4 address: run it without\n"
      "arguments.\n"
      "See man " PROGRAM_NAME ".\n");
  if (answered >= 0) return answered;
  open_standard_descriptors();
  console c;
  c.program = program;
  // Prompts that nobody reads are no reason to stop sending.
  std::signal(SIGPIPE, SIG_IGN);
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) return report_failure(program, "cannot create socket");
  sockaddr_in server;
  if (!ask_server(c, server) || !connect_to(sock, server)) return 1;
  confine(program, sandbox_for::client);

  returned_errors errors;
  const bool sent = send_lines(c, sock, server, errors);
  // On loopback an error comes back within the send; across a network a
  // round trip later, when the client could have gone.
  if ((ntohl(server.sin_addr.s_addr) >> 24) != IN_LOOPBACKNET) {
    await_late_errors(sock, errors);
  }
  write_prompts(c);
  count_returned(sock, errors);
  tell_returned(program, errors, server, true);
  return sent && errors.returned == 0 ? 0 : 1;
}
