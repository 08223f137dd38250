// Sends each typed sentence as one datagram to a server fixed at the start,
// until a sentence meets the stop rule.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <csignal>
#include <cstring>
#include <iostream>

#include "common/console.h"
#include "common/exchange.h"

int main() {
  open_standard_descriptors();
  // Unsynchronised, standard input is read in blocks rather than byte by byte
  // through stdio; it stays tied to standard output, so every prompt still
  // appears before the read that waits for its answer.
  std::ios::sync_with_stdio(false);
  // Prompts that nobody reads are no reason to stop sending.
  std::signal(SIGPIPE, SIG_IGN);
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) return report_failure("client", "cannot create socket");

  sockaddr_in server;
  std::memset(&server, 0, sizeof server);
  server.sin_family = AF_INET;

  char port_text[port_line_limit + line_end_room];
  if (!ask_line("client", "Please enter the server port: ", "server port",
                port_text, sizeof port_text)) {
    return 1;
  }
  server.sin_port = parse_port(port_text);
  if (server.sin_port == 0) {
    std::cerr << "client: invalid server port: " << port_text << '\n';
    return 1;
  }

  char address_text[address_line_limit + line_end_room];
  if (!ask_line("client", "Please enter the server IP: ", "server IP",
                address_text, sizeof address_text)) {
    return 1;
  }
  if (inet_aton(address_text, &server.sin_addr) == 0) {
    std::cerr << "client: invalid server IP: " << address_text << '\n';
    return 1;
  }

  // A line longer than a sentence goes on as the next sentences, so nothing
  // typed is lost.
  bool failed = false;
  line_reader reader;
  char sentence[message_buffer_size];
  for (;;) {
    show_prompt("client", "Type a sentence to send to the server: ");
    const line_status status = next_sentence(std::cin, reader, sentence);
    if (status == line_status::none) {
      end_unanswered_prompt();
      break;
    }
    if (status == line_status::failed) {
      end_unanswered_prompt();
      report_failure("client", "cannot read input");
      failed = true;
      break;
    }
    if (sendto(sock, sentence, std::strlen(sentence) + 1, 0,
               reinterpret_cast<sockaddr*>(&server), sizeof server) < 0) {
      report_failure("client", "send failed");
      failed = true;
    }
    if (is_stop_sentence(sentence)) break;
  }
  return failed ? 1 : 0;
}
