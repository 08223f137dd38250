#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/sandbox.h"
#include "support/durations.h"
#include "support/network.h"
#include "support/told.h"
#include "tests/harness.h"

namespace {

const std::string port_prompt = "Please enter the server port: ";
const std::string address_prompt = "Please enter the server IP: ";
const std::string sentence_prompt = "Type a sentence to send to the server: ";

// Everything that arrives at `receiver` until it has been quiet for a while.
std::vector<std::string> received_by(const udp_socket& receiver) {
  std::vector<std::string> payloads;
  while (auto payload = receiver.receive(std::chrono::milliseconds(200))) {
    payloads.push_back(*payload);
  }
  return payloads;
}

std::string repeated(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

TEST(Client, SendsEachSentenceAsOneDatagram) {
  const std::string longest(1022, 'L');
  std::string long_line;
  for (int i = 0; i < 2000; ++i) long_line += static_cast<char>('a' + i % 26);
  const struct {
    const char* name;
    std::string input;
    std::vector<std::string> datagrams;
    int prompts;
  } cases[] = {
      {"sentences then end of input",
       "hello\n\nsecond one\n",
       {std::string("hello\0", 6), std::string(1, '\0'),
        std::string("second one\0", 11)},
       4},
      {"stop word sent, nothing after", "Quit\nafter\n", {{"Quit\0", 5}}, 1},
      {"stop word from a CR LF line",
       "Quit\r\nafter\r\n",
       {{"Quit\r\0", 6}},
       1},
      {"stop-like sentences go on",
       "k\nQuix\nquit\n",
       {{"k\0", 2}, {"Quix\0", 5}, {"quit\0", 5}},
       4},
      {"longest sentence read whole", longest + "\n", {longest + '\0'}, 2},
      {"long line in pieces, one prompt",
       long_line + "\n",
       {long_line.substr(0, 1022) + '\0', long_line.substr(1022) + '\0'},
       2},
      {"line of two whole pieces",
       longest + longest + "\nx\n",
       {longest + '\0', longest + '\0', {"x\0", 2}},
       3},
      {"stop word never a piece",
       longest + "Quit\nafter\n",
       {longest.substr(1) + '\0', {"LQuit\0", 6}, {"after\0", 6}},
       3},
      {"stop word never a piece, beyond the first window",
       longest + longest + "Quit\nafter\n",
       {longest + '\0',
        longest.substr(1) + '\0',
        {"LQuit\0", 6},
        {"after\0", 6}},
       3},
      {"zero byte cuts the sentence",
       std::string("ab\0cd\n", 6),
       {{"ab\0", 3}},
       2},
      {"last line without line end", "last", {{"last\0", 5}}, 2},
      {"end of input at once", "", {}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const udp_socket receiver;
    program client(client_path());
    const outcome result = client.finish(std::to_string(receiver.port()) +
                                         "\n127.0.0.1\n" + c.input);
    EXPECT_EQ(result.out, port_prompt + address_prompt +
                              repeated(sentence_prompt, c.prompts));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(received_by(receiver), c.datagrams);
  }
}

TEST(Client, ChecksTheDestinationBeforeSending) {
  const auto invalid_ip = [](const std::string& text) {
    return "client: invalid server IP: " + text +
           " (give a numeric IPv4 address, such as 127.0.0.1)\n";
  };
  const auto invalid_port = [](const std::string& text) {
    return "client: invalid server port: " + text +
           " (give a number from 1 to 65535)\n";
  };
  const udp_socket receiver;
  const std::string port = std::to_string(receiver.port());
  const std::string quit("Quit\0", 5);
  const struct {
    const char* name;
    std::string input;
    std::string err;
    bool sent;
  } cases[] = {
      {"port of 8 characters",
       std::string(8 - port.size(), '0') + port + "\n127.0.0.1\nQuit\n", "",
       true},
      {"port with letters", port + "abc\n127.0.0.1\nQuit\n", "", true},
      {"port wraps, and is said to",
       std::to_string(receiver.port() + 65536) + "\n127.0.0.1\nQuit\n",
       "client: port " + std::to_string(receiver.port() + 65536) +
           " is out of range: sending to port " + port + "\n",
       true},
      {"negative port wraps, and is said to",
       std::to_string(static_cast<int>(receiver.port()) - 65536) +
           "\n127.0.0.1\nQuit\n",
       "client: port " +
           std::to_string(static_cast<int>(receiver.port()) - 65536) +
           " is out of range: sending to port " + port + "\n",
       true},
      {"address of 15 characters", port + "\n127.000.000.001\nQuit\n", "",
       true},
      {"short address", port + "\n127.1\nQuit\n", "", true},
      {"hexadecimal address", port + "\n0x7f.0.0.1\nQuit\n", "", true},
      {"CR LF answers", port + "\r\n127.0.0.1\r\nQuit\n", "", true},
      {"longest answers and CR LF",
       std::string(8 - port.size(), '0') + port +
           "\r\n127.000.000.001\r\nQuit\n",
       "", true},
      {"no port", "", "client: no server port given\n", false},
      {"port too long", "123456789\n127.0.0.1\nQuit\n",
       "client: server port too long\n", false},
      {"port too long before CR LF", "123456789\r\n127.0.0.1\nQuit\n",
       "client: server port too long\n", false},
      {"port 0", "0\n127.0.0.1\nQuit\n", invalid_port("0"), false},
      {"port 65536", "65536\n127.0.0.1\nQuit\n", invalid_port("65536"), false},
      {"port of letters", "abc\n127.0.0.1\nQuit\n", invalid_port("abc"), false},
      {"port of letters and a control", "a\x1b[1m\n127.0.0.1\nQuit\n",
       invalid_port("a\\x1b[1m"), false},
      {"no address", port + "\n", "client: no server IP given\n", false},
      {"address too long", port + "\n127.000.000.0001\nQuit\n",
       "client: server IP too long\n", false},
      {"blanks around the address", port + "\n  127.0.0.1 \t\nQuit\n", "",
       true},
      {"address of letters", port + "\nabc\nQuit\n", invalid_ip("abc"), false},
      {"host name", port + "\nlocalhost\nQuit\n", invalid_ip("localhost"),
       false},
      {"address and more", port + "\n127.0.0.1 junk\nQuit\n",
       invalid_ip("127.0.0.1 junk"), false},
      {"address, a tab and more", port + "\n127.0.0.1\tx\nQuit\n",
       invalid_ip("127.0.0.1\tx"), false},
      {"address, a vertical tab and more", port + "\n127.0.0.1\vx\nQuit\n",
       invalid_ip("127.0.0.1\\x0bx"), false},
      {"address, a form feed and more", port + "\n127.0.0.1\fx\nQuit\n",
       invalid_ip("127.0.0.1\\x0cx"), false},
      {"address, a carriage return and more",
       port + "\n127.0.0.1\rjunk\nQuit\n", invalid_ip("127.0.0.1\\x0djunk"),
       false},
      {"address, a zero byte and more",
       port + "\n127.0.0.1" + std::string(1, '\0') + "x\nQuit\n",
       invalid_ip("127.0.0.1\\x00x"), false},
      {"address, an escape and more", port + "\n127.0.0.1\x1b[2J\nQuit\n",
       invalid_ip("127.0.0.1\\x1b[2J"), false},
      {"address out of range", port + "\n999.1.1.1\nQuit\n",
       invalid_ip("999.1.1.1"), false},
      {"address of five parts", port + "\n1.2.3.4.5\nQuit\n",
       invalid_ip("1.2.3.4.5"), false},
      {"empty address", port + "\n\nQuit\n", invalid_ip(""), false},
      {"broadcast address", port + "\n255.255.255.255\nQuit\n",
       "client: cannot send to 255.255.255.255 port " + port +
           ": Permission denied\n",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    program client(client_path());
    const outcome result = client.finish(c.input);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.status, c.sent ? 0 : 1);
    EXPECT_EQ(received_by(receiver), c.sent ? std::vector<std::string>{quit}
                                            : std::vector<std::string>{});
  }
}

// The number of sentences in a refusal line, or -1 if the line is not one.
long refused_in(const std::string& line, std::uint16_t port) {
  return told_count(line, "client", "sentence",
                    "refused by 127.0.0.1 port " + std::to_string(port) +
                        ": Connection refused");
}

// Every sentence to a port where nothing listens comes back refused, and the
// client counts each, the first at once and the rest at most a line a
// second: a send that reports an earlier refusal is tried again. On loopback
// the errors come back within the sends: whether some came back or none,
// the client does not linger after its last sentence.
TEST(Client, TellsEverySentenceTheDestinationRefused) {
  constexpr long sentences = 50;
  const udp_socket receiver;
  const struct {
    const char* name;
    std::uint16_t port;
    long refused;
  } cases[] = {
      {"nothing listens", free_port(), sentences},
      {"a receiver listens", receiver.port(), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    program client(client_path());
    client.write_input(std::to_string(c.port) + "\n127.0.0.1\n" +
                       repeated("a sentence\n", sentences));
    // The prompt after the last sentence shows once that one is sent.
    ASSERT_TRUE(client.wait_until(
        [](const std::string& out, const std::string&) {
          return out.size() >= (sentences + 1) * sentence_prompt.size();
        },
        30s));
    const auto last_sent = process_clock::now();
    const outcome result = client.finish();
    // A wait for late errors would take a quarter second.
    EXPECT_TRUE(lasted_at_most(result.ended_at - last_sent, 200ms));
    EXPECT_EQ(result.status, c.refused > 0 ? 1 : 0);
    std::istringstream lines(result.err);
    std::string line;
    long refused = 0;
    int told = 0;
    for (; std::getline(lines, line); ++told) {
      if (told == 0) {
        EXPECT_EQ(line, "client: 1 sentence refused by 127.0.0.1 port " +
                            std::to_string(c.port) + ": Connection refused");
      }
      EXPECT_GT(refused_in(line, c.port), 0) << line;
      refused += refused_in(line, c.port);
    }
    EXPECT_EQ(refused, c.refused);
    EXPECT_LE(told, 2);
  }
}

// Whatever a peer sends back, the client keeps room for the reports of the
// errors that come back: a peer that floods it and then goes refuses the
// last sentences, the stop word among them, and each refusal is told.
TEST(Client, TellsEveryRefusalWhateverThePeerSendsBack) {
  const struct {
    const char* name;
    std::string after;  // typed once the peer has gone
    long refused;
  } cases[] = {
      {"the stop word", "Quit\n", 1},
      {"a sentence, then the stop word", "hello\nQuit\n", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto peer = std::make_unique<udp_socket>();
    const std::uint16_t port = peer->port();
    program client(client_path());
    client.write_input(std::to_string(port) + "\n127.0.0.1\nfirst\n");
    sockaddr_in from{};
    socklen_t length = sizeof from;
    char payload[64];
    pollfd readable = {peer->fd(), POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, 5000), 1);
    ASSERT_GT(recvfrom(peer->fd(), payload, sizeof payload, 0,
                       reinterpret_cast<sockaddr*>(&from), &length),
              0);
    // Far more than the room the system keeps for the client: the client
    // drops them as they come, and its queue holds none.
    const std::uint16_t client_port = ntohs(from.sin_port);
    for (int i = 0; i < 20000; ++i) {
      sendto(peer->fd(), payload, sizeof payload, 0,
             reinterpret_cast<const sockaddr*>(&from), sizeof from);
    }
    EXPECT_GT(state_of_udp_port(client_port).drops, 0);
    EXPECT_EQ(state_of_udp_port(client_port).queued, 0);
    peer.reset();
    const outcome result = client.finish(c.after);
    EXPECT_EQ(told_sum(result.err, "client", "sentence",
                       "refused by 127.0.0.1 port " + std::to_string(port) +
                           ": Connection refused"),
              c.refused)
        << result.err;
    EXPECT_EQ(result.status, 1);
  }
}

TEST(Client, ReachesAServerThatStartsLate) {
  const std::uint16_t port = free_port();
  const std::string port_text = std::to_string(port);
  program client(client_path());
  client.write_input(port_text + "\n127.0.0.1\nearly\n");
  EXPECT_EQ(client.read_error_line(),
            "client: 1 sentence refused by 127.0.0.1 port " + port_text +
                ": Connection refused");

  program server(server_path());
  server.write_input(port_text + "\n");
  await_udp_port(port, 5s);
  const outcome sent = client.finish("late\nQuit\n");
  EXPECT_EQ(sent.err, "");
  EXPECT_EQ(sent.status, 1);
  const outcome shown = server.finish();
  EXPECT_EQ(shown.out,
            "Please enter your listening port: \n127.0.0.1 says: late\n"
            "127.0.0.1 says: Quit\n");
  EXPECT_EQ(shown.status, 0);
}

// The client sends what it is given whatever its console: standard input
// closed or slow to fill, standard output closed or a terminal.
TEST(Client, SendsWhateverItsConsole) {
  stream_setup typed_at_terminal = with(&stream_setup::output_terminal);
  typed_at_terminal.input_terminal = true;
  const udp_socket receiver;
  const std::string port = std::to_string(receiver.port());
  const struct {
    const char* name;
    stream_setup setup;
    int status;
    std::vector<std::string> input;  // written one after another, in pauses
    std::string out;
    std::string err;
    std::vector<std::string> datagrams;
  } cases[] = {
      {"input closed",
       with(&stream_setup::input_closed),
       1,
       {},
       port_prompt,
       "client: no server port given\n",
       {}},
      {"end of input on a terminal",
       with(&stream_setup::output_terminal),
       1,
       {},
       port_prompt + "\r\n",
       "client: no server port given\n",
       {}},
      {"non-blocking output, more prompts than its pipe holds",
       with(&stream_setup::output_nonblocking),
       0,
       {port + "\n127.0.0.1\n" + std::string(200, '\n')},
       port_prompt + address_prompt + repeated(sentence_prompt, 201),
       "",
       std::vector<std::string>(200, std::string(1, '\0'))},
      {"non-blocking input, slow to fill",
       with(&stream_setup::input_nonblocking),
       0,
       {port + "\n127.0", ".0.1\nfir", "st\nsecond\n"},
       port_prompt + address_prompt + repeated(sentence_prompt, 3),
       "",
       {{"first\0", 6}, {"second\0", 7}}},
      {"output closed",
       with(&stream_setup::output_closed),
       0,
       {port + "\n127.0.0.1\none\ntwo\n"},
       "",
       "client: cannot write prompt: Broken pipe\n",
       {{"one\0", 4}, {"two\0", 4}}},
      {"typed at a terminal, the last line ended by Ctrl-D in its middle",
       typed_at_terminal,
       0,
       {port + "\n", "127.0.0.1\n", "half a line\x04", "\x04"},
       port_prompt + port + "\r\n" + address_prompt + "127.0.0.1\r\n" +
           sentence_prompt + "half a line\r\n" + sentence_prompt + "\r\n",
       "",
       {{"half a line\0", 12}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    program client(client_path(), c.setup);
    for (const std::string& part : c.input) {
      // At a terminal, each answer is typed once its prompt shows.
      if (c.setup.input_terminal) {
        ASSERT_TRUE(client.wait_until([](const std::string& out,
                                         const std::string&) {
          return out.size() >= 2 && out.compare(out.size() - 2, 2, ": ") == 0;
        }));
      }
      client.write_input(part);
      usleep(100000);
    }
    const outcome result = client.finish();
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(received_by(receiver), c.datagrams);
  }
}

// A person answers each prompt only once it shows, and reads each line as
// soon as it arrives: nothing may wait in a buffer while a program blocks.
TEST(Exchange, EveryPromptAndLineShowsBeforeTheProgramWaits) {
  program server(server_path());
  ASSERT_TRUE(server.wait_for_output("Please enter your listening port: "));
  const std::uint16_t port = start_server(server);

  program client(client_path());
  ASSERT_TRUE(client.wait_for_output(port_prompt));
  client.write_input(std::to_string(port) + "\n");
  ASSERT_TRUE(client.wait_for_output(address_prompt));
  client.write_input("127.0.0.1\n");
  for (const char* text : {"first", "second"}) {
    ASSERT_TRUE(client.wait_for_output(sentence_prompt));
    client.write_input(std::string(text) + "\n");
    EXPECT_TRUE(
        server.wait_for_output("127.0.0.1 says: " + std::string(text) + "\n"));
    // Waiting, the server sleeps until the next datagram: no timer wakes it.
    EXPECT_TRUE(stays_asleep(server.pid(), 500ms, 2s));
  }
  ASSERT_TRUE(client.wait_for_output(sentence_prompt));
  EXPECT_EQ(client.finish("Quit\n").status, 0);
  EXPECT_EQ(server.finish().status, 0);
}

TEST(Exchange, ClientSentencesAppearOnTheServerInOrder) {
  program server(server_path());
  const std::uint16_t port = start_server(server);
  std::string input = std::to_string(port) + "\n127.0.0.1\n";
  std::string lines = "Please enter your listening port: \n";
  for (int i = 0; i < 300; ++i) {
    const std::string text = i == 150 ? "" : "sentence " + std::to_string(i);
    input += text + "\n";
    lines += "127.0.0.1 says: " + text + "\n";
  }
  input += "Quit\n";
  lines += "127.0.0.1 says: Quit\n";

  program client(client_path());
  const outcome sent = client.finish(input);
  EXPECT_EQ(sent.err, "");
  EXPECT_EQ(sent.status, 0);
  const outcome shown = server.finish();
  EXPECT_EQ(shown.out, lines);
  EXPECT_EQ(shown.err, "");
  EXPECT_EQ(shown.status, 0);
}

// Sends to `from` the ICMP "destination unreachable" error with `code` that
// a router would send back for a datagram from `from` to `to`, as anyone on
// the path may; needs a raw socket.
bool forge_unreachable(const sockaddr_in& from, const sockaddr_in& to,
                       int code) {
  const int raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (raw < 0) return false;
  unsigned char quote[longest_quote];
  const bool sent =
      send_icmp_error(raw, ICMP_DEST_UNREACH, code, quote,
                      quote_datagram(from, to, quote), from.sin_addr);
  close(raw);
  return sent;
}

// An error that comes back for one sentence, of whatever kind and however
// often forged, costs no other sentence and counts one sentence at most;
// also when the system finds no room for its report, and reports it only
// through the next send.
TEST(Client, CountsErrorsThatComeBackAndLosesNoSentenceToThem) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "forging ICMP errors needs a raw socket, so root";
  }
  // Datagrams sent back to the client fill the room the system keeps for
  // what comes to it, reports of errors among it.
  enum class room { free, filled };
  const struct {
    const char* name;
    int code;
    int times;
    room reports;
    std::string told;  // what follows "client: N sentence(s) "
    long count;
  } cases[] = {
      {"port unreachable", ICMP_PORT_UNREACH, 1, room::free, "refused by", 1},
      {"host unreachable", ICMP_HOST_UNREACH, 1, room::free, "undeliverable to",
       1},
      {"network unreachable", ICMP_NET_UNREACH, 1, room::free,
       "undeliverable to", 1},
      {"administratively prohibited", ICMP_PKT_FILTERED, 1, room::free,
       "undeliverable to", 1},
      {"fragmentation needed", ICMP_FRAG_NEEDED, 1, room::free,
       "undeliverable to", 1},
      {"a thousand refusals for two sentences", ICMP_PORT_UNREACH, 1000,
       room::free, "refused by", 2},
      {"host unreachable, its report dropped", ICMP_HOST_UNREACH, 1,
       room::filled, "undeliverable to", 1},
      {"refused, its report dropped", ICMP_PORT_UNREACH, 1, room::filled,
       "refused by", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const udp_socket receiver;
    program client(client_path());
    client.write_input(std::to_string(receiver.port()) + "\n127.0.0.1\n");
    std::vector<std::string> received;
    sockaddr_in from{};
    for (int line = 1; line <= 5; ++line) {
      client.write_input(std::to_string(line) + "\n");
      pollfd readable = {receiver.fd(), POLLIN, 0};
      ASSERT_EQ(poll(&readable, 1, 5000), 1);
      char payload[64];
      socklen_t length = sizeof from;
      const ssize_t n = recvfrom(receiver.fd(), payload, sizeof payload, 0,
                                 reinterpret_cast<sockaddr*>(&from), &length);
      ASSERT_GT(n, 0);
      received.emplace_back(payload, static_cast<std::size_t>(n));
      if (line == 2 && c.reports == room::filled) {
        // Until the system drops one of them, so that it has no room for a
        // report either.
        const std::uint16_t client_port = ntohs(from.sin_port);
        const long drops = state_of_udp_port(client_port).drops;
        for (int i = 0;
             i < 100000 && state_of_udp_port(client_port).drops == drops; ++i) {
          for (int j = 0; j < 64; ++j) {
            sendto(receiver.fd(), payload, sizeof payload, 0,
                   reinterpret_cast<const sockaddr*>(&from), sizeof from);
          }
        }
        ASSERT_GT(state_of_udp_port(client_port).drops, drops);
      }
      for (int i = 0; line == 2 && i < c.times; ++i) {
        ASSERT_TRUE(
            forge_unreachable(from, loopback_address(receiver.port()), c.code));
      }
      usleep(20000);  // the error comes back before the next line, mostly
    }
    const outcome result = client.finish();
    EXPECT_EQ(received,
              (std::vector<std::string>{
                  {"1\0", 2}, {"2\0", 2}, {"3\0", 2}, {"4\0", 2}, {"5\0", 2}}));
    // The errors counted, however they were told: the first at once, the
    // rest at the end.
    const std::string what =
        c.told + " 127.0.0.1 port " + std::to_string(receiver.port()) + ": ";
    std::istringstream lines(result.err);
    long counted = 0;
    int told = 0;
    for (std::string line; std::getline(lines, line); ++told) {
      const std::size_t reason = line.rfind(": ");
      const long count =
          told_count(line.substr(0, reason + 2), "client", "sentence", what);
      EXPECT_GT(count, 0) << line;
      counted += count;
    }
    EXPECT_EQ(counted, c.count) << result.err;
    EXPECT_LE(told, 2) << result.err;
    EXPECT_EQ(result.status, 1);
  }
}

// The sentences that a server in the server's host shows, by their numbers.
std::vector<bool> shown_numbers(const std::string& out, long lines) {
  std::vector<bool> shown(lines, false);
  const std::string says = std::string(client_address) + " says: ";
  for (std::size_t at = out.find(says); at != std::string::npos;
       at = out.find(says, at + 1)) {
    const long number = std::atol(out.c_str() + at + says.size());
    if (number >= 0 && number < lines) shown[number] = true;
  }
  return shown;
}

// Across a routed network errors come back a round trip late, and in
// streams while the client sends: each send that an earlier sentence's
// error stops goes again, so no sentence is lost to them; the client counts
// every error that came back while it ran, and never more than came back;
// it waits for the errors of every sentence of its last quarter second,
// until a quarter second after it at most, and no longer than they take; a
// sentence that cannot leave the host is a failure. What is asserted is
// what the router did, as it noted it, not how fast it did it.
TEST(Client, LosesNoSentenceToErrorsFromAcrossANetwork) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "network namespaces and raw sockets need root";
  }
  const routed_network network;
  if (!network.made()) {
    GTEST_SKIP() << "cannot make network namespaces (ip netns, iproute2): "
                 << network.why_not();
  }
  const std::string refused = "refused by";
  const std::string undeliverable = "undeliverable to";
  const struct {
    const char* name;
    late_errors plan;
    long lines;
    const std::string& told;
    const char* reason;
    std::chrono::milliseconds spacing;  // between the lines typed, if any
  } cases[] = {
      {"the first 15000 of 20000 refused, 5 ms late",
       {ICMP_DEST_UNREACH, ICMP_PORT_UNREACH, 15000, 5ms},
       20000,
       refused,
       "Connection refused",
       0ms},
      {"the first 15000 of 20000 with no route to host, 5 ms late",
       {ICMP_DEST_UNREACH, ICMP_HOST_UNREACH, 15000, 5ms},
       20000,
       undeliverable,
       "No route to host",
       0ms},
      {"the first 15000 of 20000 prohibited, 5 ms late",
       {ICMP_DEST_UNREACH, ICMP_PKT_FILTERED, 15000, 5ms},
       20000,
       undeliverable,
       "No route to host",
       0ms},
      {"200 refused, each 30 ms late",
       {ICMP_DEST_UNREACH, ICMP_PORT_UNREACH, 200, 30ms},
       200,
       refused,
       "Connection refused",
       0ms},
      {"300 with no route to host, each 30 ms late",
       {ICMP_DEST_UNREACH, ICMP_HOST_UNREACH, 300, 30ms},
       300,
       undeliverable,
       "No route to host",
       0ms},
      {"5 typed 20 ms apart, refused 150 ms late, the stop word not",
       {ICMP_DEST_UNREACH, ICMP_PORT_UNREACH, 5, 150ms},
       5,
       refused,
       "Connection refused",
       20ms},
      {"the stop word alone, refused 50 ms late",
       {ICMP_DEST_UNREACH, ICMP_PORT_UNREACH, 1, 50ms},
       0,
       refused,
       "Connection refused",
       0ms},
      {"the stop word alone, refused at once",
       {ICMP_DEST_UNREACH, ICMP_PORT_UNREACH, 1, 300us},
       0,
       refused,
       "Connection refused",
       0ms},
  };
  // The page's quarter second, for the errors of the last sentences.
  constexpr auto late_error_wait = 250ms;
  // Errors come back and programs end a moment after the router notes them;
  // on a loaded machine a longer moment.
  constexpr auto margin = 100ms;
  // The test sees the client's end a moment after it, when it is scheduled;
  // beside CPU hogs, a longer moment.
  constexpr auto seen_late = 500ms;
  const std::string client_host = network.client_host();
  const std::string server_host = network.server_host();
  stream_setup in_client_host;
  in_client_host.network = client_host.c_str();
  stream_setup in_server_host;
  in_server_host.network = server_host.c_str();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    program server(server_path(), in_server_host);
    const std::string port = std::to_string(start_server(server));
    const shared_router_log log;
    const pid_t router = start_late_errors(network, c.plan, *log);
    usleep(100000);  // the router listens
    program client(client_path(), in_client_host);
    std::string input = port + "\n" + server_address + "\n";
    for (long i = 0; i < c.lines; ++i) {
      input += std::to_string(i) + "\n";
      if (c.spacing > 0ms) {
        client.write_input(input);
        input.clear();
        usleep(static_cast<useconds_t>(c.spacing.count() * 1000));
      }
    }
    const outcome sent = client.finish(input + "Quit\n", 30s);
    const outcome shown = server.finish("", 10s);
    kill_child(router);
    const std::vector<bool> numbers = shown_numbers(shown.out, c.lines);
    EXPECT_EQ(std::count(numbers.begin(), numbers.end(), false), 0);
    const std::string what =
        c.told + " " + server_address + " port " + port + ": " + c.reason;
    std::istringstream lines(sent.err);
    long counted = 0;
    for (std::string line; std::getline(lines, line);) {
      const long count = told_count(line, "client", "sentence", what);
      EXPECT_GT(count, 0) << line;
      counted += count;
    }
    // Every error that came back while the client ran, and every one of a
    // sentence of its last quarter second that came within a quarter second
    // after it, is counted; none that did not come back.
    const auto last = log->last_seen;
    const auto window = std::chrono::duration_cast<router_log::clock::duration>(
        late_error_wait);
    long awaited = 0;
    for (long i = 0; i < log->answered; ++i) {
      const bool while_running =
          log->answered_at[i] < sent.ended_at - seen_late;
      const bool of_the_last = log->seen_at[i] >= last - window + margin &&
                               log->answered_at[i] < last + window - margin;
      if (while_running || of_the_last) ++awaited;
    }
    EXPECT_EQ(log->seen, c.lines + 1);
    EXPECT_GE(counted, awaited)
        << sent.err << "answered " << log->answered << ", the last "
        << in_ms(sent.ended_at - log->answered_at[log->answered - 1])
        << " before the client was seen to end";
    EXPECT_LE(counted, log->answered) << sent.err;
    // It lingers a quarter second after its last sentence at most, and once
    // every sentence came back, no longer.
    EXPECT_TRUE(lasted_at_most(sent.ended_at - last, window + seen_late / 2));
    // Waiting, it sleeps: a wait that woke at once again and again would
    // take the CPU for the quarter second.
    if (c.lines < 1000) {
      EXPECT_TRUE(lasted_at_most(sent.cpu, margin));
    }
    if (log->answered == log->seen && log->answered > 0) {
      EXPECT_TRUE(
          lasted_at_most(sent.ended_at - log->answered_at[log->answered - 1],
                         window - margin));
    }
    EXPECT_EQ(sent.status, 1);
  }
  // A sentence that finds no route out is a failure of its own.
  program server(server_path(), in_server_host);
  const std::string port = std::to_string(start_server(server));
  program client(client_path(), in_client_host);
  client.write_input(port + "\n" + server_address + "\nfirst\n");
  ASSERT_TRUE(client.wait_for_output(sentence_prompt + sentence_prompt));
  network.unplug();
  const outcome result = client.finish("second\n");
  EXPECT_EQ(result.err, "client: send failed: Network is unreachable\n");
  EXPECT_EQ(result.status, 1);
}

// Both programs answer --help and --version, refuse any other argument, and
// without one ask for what they need as ever; help that cannot be written
// is a failure, said so.
TEST(Programs, AnswerTheirCommandLine) {
  enum class output { pipe, full };
  for (const std::string name : {"server", "client"}) {
    const std::string usage = "Usage: " + name + " [--help | --version]\n";
    const auto refused = [&](const char* argument) {
      std::string told = name;
      told += ": unexpected argument '";
      told += argument;
      told += "'\n";
      return told + usage;
    };
    const struct {
      const char* argument;
      output to;
      int status;
      std::string out_start;
      std::string err;
    } cases[] = {
        {nullptr, output::pipe, 1,
         name == "server" ? "Please enter your listening port: " : port_prompt,
         ""},
        {"--help", output::pipe, 0, usage, ""},
        {"--version", output::pipe, 0, name + " ", ""},
        {"--help", output::full, 1, "",
         name + ": cannot write help: No space left on device\n"},
        {"--version", output::full, 1, "",
         name + ": cannot write the version: No space left on device\n"},
        {"5000", output::pipe, 2, "", refused("5000")},
        {"-h", output::pipe, 2, "", refused("-h")},
        {"\x1b]0;title\a", output::pipe, 2, "", refused("\\x1b]0;title\\x07")},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(name + " " + (c.argument != nullptr ? c.argument : ""));
      stream_setup setup;
      setup.argument = c.argument;
      setup.output_full = c.to == output::full;
      program p(name == "server" ? server_path() : client_path(), setup);
      const outcome result = p.finish();
      EXPECT_EQ(result.status, c.status);
      EXPECT_EQ(result.out.compare(0, c.out_start.size(), c.out_start), 0)
          << result.out;
      if (c.argument != nullptr) {
        EXPECT_EQ(result.err, c.err);
      }
    }
  }
}

// The soft and hard limit of `name` for process `pid`, as "soft hard".
std::string limit_of(pid_t pid, const std::string& name) {
  std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
  for (std::string line; std::getline(limits, line);) {
    if (line.compare(0, name.size(), name) != 0) continue;
    std::istringstream values(line.substr(name.size()));
    std::string soft, hard;
    values >> soft >> hard;
    return soft.append(" ").append(hard);
  }
  return "";
}

// The status of process `pid` in /proc: the value of `field`.
std::string status_field(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) {
      return line.substr(line.find_first_not_of(" \t", field.size() + 1));
    }
  }
  return "";
}

// Once set up, each program runs confined: no new privileges, a seccomp
// filter, and limits that let it open no descriptor and start no process.
TEST(Programs, ConfineThemselvesOnceSetUp) {
  if (!SANDBOX_BUILT) {
    GTEST_SKIP() << "this build confines nothing (the sanitizers', the "
                    "fuzzer's, or one with -DSANDBOX=OFF)";
  }
  program server(server_path());
  const std::uint16_t port = start_server(server);
  program client(client_path());
  client.write_input(std::to_string(port) + "\n127.0.0.1\n");
  ASSERT_TRUE(client.wait_for_output(sentence_prompt));
  for (const pid_t pid : {server.pid(), client.pid()}) {
    // The server says its port a moment before it confines itself.
    for (int tries = 0; tries < 100 && status_field(pid, "Seccomp") != "2";
         ++tries) {
      usleep(10000);
    }
    EXPECT_EQ(status_field(pid, "NoNewPrivs"), "1");
    EXPECT_EQ(status_field(pid, "Seccomp"), "2");
    EXPECT_EQ(limit_of(pid, "Max open files"), "2 2");
    EXPECT_EQ(limit_of(pid, "Max processes"), "0 0");
  }
  EXPECT_EQ(client.finish("Quit\n").status, 0);
  EXPECT_EQ(server.finish().status, 0);
}

// Every call a confined program makes is one its filter lets through, and
// every call its filter lets through is made in one of these scenarios, or
// stands in a group of rare paths, whose need its page says.
TEST(Programs, MakeOnlyTheCallsTheirFiltersAllow) {
  if (!SANDBOX_BUILT) {
    GTEST_SKIP() << "this build confines nothing (the sanitizers', the "
                    "fuzzer's, or one with -DSANDBOX=OFF)";
  }
  if (!strace_found()) GTEST_SKIP() << "strace is not installed";
  enum class who { server, client };
  enum class scenario {
    exchange,      // sentences and the stop word
    backlog,       // 8 MB of lines wait for the output, then go out
    stop_signal,   // a termination, the output blocked
    other_output,  // the output as set up
    refusals,      // to a port where nothing listens
    slow_input,    // a non-blocking input that fills slowly
    end_of_input,  // the end of input on a terminal
  };
  const struct {
    const char* name;
    who runs;
    scenario does;
    stream_setup setup;
  } cases[] = {
      {"server: an exchange", who::server, scenario::exchange, {}},
      {"server: a backlog written", who::server, scenario::backlog, {}},
      {"server: a stop signal", who::server, scenario::stop_signal, {}},
      {"server: a datagram socket as output", who::server,
       scenario::other_output, with(&stream_setup::output_datagrams)},
      {"server: an output it cannot open anew", who::server,
       scenario::other_output, with(&stream_setup::other_user)},
      {"client: an exchange", who::client, scenario::exchange, {}},
      {"client: refusals", who::client, scenario::refusals, {}},
      {"client: a slow input", who::client, scenario::slow_input,
       with(&stream_setup::input_nonblocking)},
      {"client: the end of input on a terminal", who::client,
       scenario::end_of_input, with(&stream_setup::output_terminal)},
  };
  std::set<std::string> made[2];
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.setup.other_user && geteuid() != 0) {
      std::printf("[ SKIPPED  ] %s: running as another user needs root\n",
                  c.name);
      continue;
    }
    const udp_socket receiver;
    program p(c.runs == who::server ? server_path() : client_path(), c.setup);
    std::uint16_t port = receiver.port();
    if (c.runs == who::server) {
      port = start_server(p);
    } else {
      const std::uint16_t to =
          c.does == scenario::refusals ? free_port() : receiver.port();
      p.write_input(std::to_string(to) + "\n127.0.0.1\n");
    }
    for (int tries = 0; tries < 500 && status_field(p.pid(), "Seccomp") != "2";
         ++tries) {
      usleep(10000);
    }
    ASSERT_EQ(status_field(p.pid(), "Seccomp"), "2");
    tracer trace(p.pid(), "all");
    ASSERT_TRUE(trace.attached());
    const std::string quit("Quit\0", 5);
    if (c.runs == who::server) {
      if (c.does == scenario::backlog) {
        for (int i = 0; i < 8000; ++i) {
          receiver.send_to(port,
                           std::to_string(i) + std::string(1000, '-') + '\0');
          if (i % 64 == 0) usleep(1000);
        }
        p.wait_until(
            [](const std::string& out, const std::string&) {
              return out.find("7999---") != std::string::npos;
            },
            30s);
      }
      if (c.does == scenario::stop_signal) {
        for (int i = 0; i < 2000; ++i) receiver.send_to(port, "a line");
        usleep(100000);
        p.send_signal(SIGTERM);
      } else {
        receiver.send_to(port, std::string("hello\0", 6));
        receiver.send_to(port, quit);
      }
      p.finish("", 30s);
    } else if (c.does == scenario::slow_input) {
      for (const char* part : {"par", "tly\n", "Quit\n"}) {
        p.write_input(part);
        usleep(50000);
      }
      p.finish();
    } else {
      p.finish(c.does == scenario::end_of_input ? "" : "hello\nQuit\n");
    }
    for (const std::string& call : trace.calls_made()) {
      made[static_cast<int>(c.runs)].insert(call);
    }
  }
  for (const who program : {who::server, who::client}) {
    SCOPED_TRACE(program == who::server ? "server" : "client");
    std::set<std::string> allowed, rare;
    const auto note = [&](const auto& groups) {
      for (const call_group& group : groups) {
        for (const char* call : group.calls) {
          if (call == nullptr) break;
          allowed.insert(call);
          if (group.rare) rare.insert(call);
        }
      }
    };
    note(both_calls);
    if (program == who::server) {
      note(server_calls);
    } else {
      note(client_calls);
    }
    const std::set<std::string>& calls = made[static_cast<int>(program)];
    for (const std::string& call : calls) {
      EXPECT_EQ(allowed.count(call), 1U) << "made, not allowed: " << call;
    }
    for (const std::string& call : allowed) {
      EXPECT_TRUE(calls.count(call) == 1 || rare.count(call) == 1)
          << "allowed, never made: " << call;
    }
  }
}

// A fault inside a confined program, acted by a library preloaded into it:
// an abort ends it by SIGABRT, as the C library's checks would; a send to
// any other host, by any call that names an address, fails with EPERM.
TEST(Programs, CannotEscapeTheirConfinement) {
  if (!SANDBOX_BUILT) {
    GTEST_SKIP() << "this build confines nothing (the sanitizers', the "
                    "fuzzer's, or one with -DSANDBOX=OFF)";
  }
  const udp_socket other("127.0.0.2");
  const std::string other_port =
      "SENTENCES_SHIM_PORT=" + std::to_string(other.port());
  const std::string preload = std::string("LD_PRELOAD=") + FAULT_SHIM_PATH;
  enum class who { server, client };
  const struct {
    const char* name;
    who runs;
    const char* mode;
    int ends_by;  // the signal, or 0 for the exit status 0
    std::string err;
  } cases[] = {
      {"an abort in the server", who::server, "SENTENCES_SHIM=abort", SIGABRT,
       ""},
      {"an abort in the client", who::client, "SENTENCES_SHIM=abort", SIGABRT,
       ""},
      {"the client reaching for another host", who::client,
       "SENTENCES_SHIM=elsewhere", 0,
       "shim: sendto: Operation not permitted\n"
       "shim: sendmsg: Operation not permitted\n"
       "shim: sendmmsg: Operation not permitted\n"
       "shim: connect: Operation not permitted\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const char* const environment[] = {preload.c_str(), c.mode,
                                       other_port.c_str(), nullptr};
    stream_setup shimmed;
    shimmed.environment = environment;
    const udp_socket receiver;
    outcome result;
    if (c.runs == who::server) {
      program server(server_path(), shimmed);
      const std::uint16_t port = start_server(server);
      receiver.send_to(port, "Quit" + std::string(1, '\0'));
      result = server.finish();
    } else {
      program client(client_path(), shimmed);
      result = client.finish(std::to_string(receiver.port()) +
                             "\n127.0.0.1\nQuit\n");
    }
    EXPECT_EQ(result.signal, c.ends_by);
    if (c.ends_by == 0) {
      EXPECT_EQ(result.err, c.err);
      EXPECT_EQ(result.status, 0);
    }
    EXPECT_FALSE(other.receive(std::chrono::milliseconds(100)).has_value());
  }
}

}  // namespace
