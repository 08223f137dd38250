#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

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
// client counts each: a send that reports an earlier refusal is tried again.
TEST(Client, TellsEverySentenceTheDestinationRefused) {
  const std::uint16_t port = free_port();
  program client(client_path());
  const auto started = process_clock::now();
  const outcome result =
      client.finish(std::to_string(port) + "\n127.0.0.1\na\nb\nc\nd\n");
  // On loopback the errors come back within the sends: nothing to wait for.
  EXPECT_LT(process_clock::now() - started, 200ms);
  std::istringstream lines(result.err);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "client: 1 sentence refused by 127.0.0.1 port " +
                      std::to_string(port) + ": Connection refused");
  long refused = 1;
  while (std::getline(lines, line)) {
    EXPECT_GT(refused_in(line, port), 0) << line;
    refused += refused_in(line, port);
  }
  EXPECT_EQ(refused, 4);
  EXPECT_EQ(result.status, 1);
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
  for (int tries = 0; tries < 500 && !udp_port_bound(port); ++tries) {
    usleep(10000);
  }
  const outcome sent = client.finish("late\nQuit\n");
  EXPECT_EQ(sent.err, "");
  EXPECT_EQ(sent.status, 1);
  const outcome shown = server.finish();
  EXPECT_EQ(shown.out,
            "Please enter your listening port: 127.0.0.1 says: late\n"
            "127.0.0.1 says: Quit\n");
  EXPECT_EQ(shown.status, 0);
}

// The client sends what it is given whatever its console: standard input
// closed or slow to fill, standard output closed or a terminal.
TEST(Client, SendsWhateverItsConsole) {
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
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    program client(client_path(), c.setup);
    for (const std::string& part : c.input) {
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
  std::string lines = "Please enter your listening port: ";
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

// The Internet checksum of `length` bytes.
std::uint16_t checksum(const void* data, std::size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < length; i += 2) {
    sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  }
  if (length % 2 != 0)
    sum += static_cast<std::uint32_t>(bytes[length - 1] << 8);
  while (sum >> 16 != 0) sum = (sum & 0xffff) + (sum >> 16);
  return htons(static_cast<std::uint16_t>(~sum));
}

// Sends to `from` the ICMP "destination unreachable" error with `code` that
// a router would send back for a datagram from `from` to `to`, as anyone on
// the path may; needs a raw socket.
bool forge_unreachable(const sockaddr_in& from, const sockaddr_in& to,
                       int code) {
  const int raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (raw < 0) return false;
  struct {
    icmphdr icmp;
    iphdr inner;
    udphdr udp;
  } packet;
  std::memset(&packet, 0, sizeof packet);
  packet.icmp.type = ICMP_DEST_UNREACH;
  packet.icmp.code = static_cast<std::uint8_t>(code);
  packet.icmp.un.frag.mtu = htons(65535);  // lowers no path's MTU
  packet.inner.version = 4;
  packet.inner.ihl = sizeof packet.inner / 4;
  packet.inner.tot_len = htons(sizeof packet.inner + sizeof packet.udp + 2);
  packet.inner.ttl = 64;
  packet.inner.protocol = IPPROTO_UDP;
  packet.inner.saddr = from.sin_addr.s_addr;
  packet.inner.daddr = to.sin_addr.s_addr;
  packet.inner.check = checksum(&packet.inner, sizeof packet.inner);
  packet.udp.source = from.sin_port;
  packet.udp.dest = to.sin_port;
  packet.udp.len = htons(sizeof packet.udp + 2);
  packet.icmp.checksum = checksum(&packet, sizeof packet);
  const bool sent = sendto(raw, &packet, sizeof packet, 0,
                           reinterpret_cast<const sockaddr*>(&from),
                           sizeof from) == static_cast<ssize_t>(sizeof packet);
  close(raw);
  return sent;
}

// An error that comes back for one sentence, of whatever kind and however
// often forged, costs no other sentence and counts one sentence at most.
TEST(Client, CountsErrorsThatComeBackAndLosesNoSentenceToThem) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "forging ICMP errors needs a raw socket, so root";
  }
  const struct {
    const char* name;
    int code;
    int times;
    std::string told;  // what follows "client: N sentence(s) "
    long count;
  } cases[] = {
      {"port unreachable", ICMP_PORT_UNREACH, 1, "refused by", 1},
      {"host unreachable", ICMP_HOST_UNREACH, 1, "undeliverable to", 1},
      {"network unreachable", ICMP_NET_UNREACH, 1, "undeliverable to", 1},
      {"administratively prohibited", ICMP_PKT_FILTERED, 1, "undeliverable to",
       1},
      {"fragmentation needed", ICMP_FRAG_NEEDED, 1, "undeliverable to", 1},
      {"a thousand refusals for two sentences", ICMP_PORT_UNREACH, 1000,
       "refused by", 2},
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
      for (int i = 0; line == 2 && i < c.times; ++i) {
        ASSERT_TRUE(
            forge_unreachable(from, loopback_address(receiver.port()), c.code));
      }
      usleep(20000);  // the error comes back before the next line
    }
    const outcome result = client.finish();
    EXPECT_EQ(received,
              (std::vector<std::string>{
                  {"1\0", 2}, {"2\0", 2}, {"3\0", 2}, {"4\0", 2}, {"5\0", 2}}));
    std::string count_and_noun =
        std::to_string(c.count) + (c.count == 1 ? " sentence " : " sentences ");
    EXPECT_EQ(result.err.substr(0, result.err.find(" 127.0.0.1")),
              "client: " + count_and_noun + c.told);
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1)
        << result.err;
    EXPECT_EQ(result.status, 1);
  }
}

// Two hosts joined by a cable, each in a network namespace of its own: the
// client's at 198.18.0.1 and a far host at 198.18.0.2. Removed when this
// goes away.
class two_hosts {
 public:
  two_hosts()
      : client_(name("client")),
        far_(name("far")),
        made_(run("ip netns add " + client_ + " && ip netns add " + far_ +
                  " && ip link add cable0 netns " + client_ +
                  " type veth peer name cable1 netns " + far_ + " && ip -n " +
                  client_ + " addr add 198.18.0.1/24 dev cable0 && ip -n " +
                  far_ + " addr add 198.18.0.2/24 dev cable1 && ip -n " +
                  client_ + " link set cable0 up && ip -n " + far_ +
                  " link set cable1 up")) {}
  ~two_hosts() { run("ip netns del " + client_ + "; ip netns del " + far_); }
  two_hosts(const two_hosts&) = delete;
  two_hosts& operator=(const two_hosts&) = delete;

  bool made() const { return made_; }
  std::string client_file() const { return "/run/netns/" + client_; }
  std::string far_file() const { return "/run/netns/" + far_; }
  // Takes the client's host off the cable: its sends find no route.
  void unplug() const { run("ip -n " + client_ + " addr flush dev cable0"); }

 private:
  static std::string name(const char* role) {
    return std::string("sentences-") + role + "-" + std::to_string(getpid());
  }
  static bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
  }
  std::string client_;
  std::string far_;
  bool made_;
};

// Across a network an error comes back a round trip after its sentence: the
// client waits for the errors of its last sentences, and no longer than
// they take; and a sentence that cannot leave the host is a failure.
TEST(Client, CatchesErrorsFromAcrossANetwork) {
  if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
  const two_hosts hosts;
  if (!hosts.made()) GTEST_SKIP() << "cannot make network namespaces";
  constexpr std::uint16_t port = 5000;
  const std::string far_file = hosts.far_file();
  // The far host answers a sentence with a refusal, 50 ms later.
  const pid_t far = start_function([&] {
    if (!enter_network(far_file.c_str())) return 1;
    const udp_socket listener("198.18.0.2", port);
    sockaddr_in from{};
    socklen_t length = sizeof from;
    char payload[64];
    pollfd readable = {listener.fd(), POLLIN, 0};
    if (poll(&readable, 1, 5000) != 1 ||
        recvfrom(listener.fd(), payload, sizeof payload, 0,
                 reinterpret_cast<sockaddr*>(&from), &length) < 0) {
      return 1;
    }
    usleep(50000);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "198.18.0.2", &to.sin_addr);
    return forge_unreachable(from, to, ICMP_PORT_UNREACH) ? 0 : 1;
  });
  const std::string client_file = hosts.client_file();
  stream_setup in_client_host;
  in_client_host.network = client_file.c_str();
  {
    program client(client_path(), in_client_host);
    client.write_input("5000\n198.18.0.2\nQuit\n");
    const auto sent = process_clock::now();
    const outcome result = client.finish();
    EXPECT_LT(process_clock::now() - sent, 200ms);
    EXPECT_EQ(result.err,
              "client: 1 sentence refused by 198.18.0.2 port 5000: "
              "Connection refused\n");
    EXPECT_EQ(result.status, 1);
  }
  kill_child(far);
  // A listener takes the sentences that leave, so that only the one that
  // cannot leave fails.
  const pid_t listener = start_function([&] {
    if (!enter_network(far_file.c_str())) return 1;
    const udp_socket socket("198.18.0.2", port);
    while (socket.receive(5s)) {
    }
    return 0;
  });
  usleep(100000);  // it listens
  {
    program client(client_path(), in_client_host);
    client.write_input("5000\n198.18.0.2\nfirst\n");
    ASSERT_TRUE(client.wait_for_output(sentence_prompt + sentence_prompt));
    hosts.unplug();
    const outcome result = client.finish("second\n");
    EXPECT_EQ(result.err, "client: send failed: Network is unreachable\n");
    EXPECT_EQ(result.status, 1);
  }
  kill_child(listener);
}

// Both programs answer --help and --version, refuse any other argument, and
// without one ask for what they need as ever.
TEST(Programs, AnswerTheirCommandLine) {
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
      int status;
      std::string out_start;
      std::string err;
    } cases[] = {
        {nullptr, 1,
         name == "server" ? "Please enter your listening port: " : port_prompt,
         ""},
        {"--help", 0, usage, ""},
        {"--version", 0, name + " ", ""},
        {"5000", 2, "", refused("5000")},
        {"-h", 2, "", refused("-h")},
        {"\x1b]0;title\a", 2, "", refused("\\x1b]0;title\\x07")},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(name + " " + (c.argument != nullptr ? c.argument : ""));
      stream_setup setup;
      setup.argument = c.argument;
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

}  // namespace
