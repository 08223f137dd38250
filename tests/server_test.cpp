#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tests/harness.h"

namespace {

const std::string prompt = "Please enter your listening port: ";

struct datagram {
  const char* from;
  std::string payload;
};

std::string sentence(const std::string& text) { return text + '\0'; }

TEST(Server, ShowsEachDatagramAsASenderLineUntilTheStopWord) {
  const std::string longest(1022, 'L');
  std::vector<datagram> many;
  std::string many_lines;
  for (int i = 0; i < 100; ++i) {
    many.push_back({"127.0.0.1", sentence(std::to_string(i))});
    many_lines += "127.0.0.1 says: " + std::to_string(i) + "\n";
  }
  many.push_back({"127.0.0.1", sentence("Quit")});
  const struct {
    const char* name;
    std::string port_line;
    std::vector<datagram> datagrams;
    std::string lines;
    bool queued_at_once;  // sent while the server is stopped
  } cases[] = {
      {"more than a batch queued at once", "0\n", many,
       many_lines + "127.0.0.1 says: Quit\n", true},
      {"nothing after the stop word in its batch",
       "0\n",
       {{"127.0.0.1", sentence("a")},
        {"127.0.0.1", sentence("Quit")},
        {"127.0.0.1", sentence("after")}},
       "127.0.0.1 says: a\n127.0.0.1 says: Quit\n",
       true},
      {"senders in arrival order",
       "0\n",
       {{"127.0.0.1", sentence("hello")},
        {"127.0.0.2", sentence("from two")},
        {"127.0.0.1", sentence("")},
        {"127.0.0.2", sentence("Quit")}},
       "127.0.0.1 says: hello\n127.0.0.2 says: from two\n"
       "127.0.0.1 says: \n127.0.0.2 says: Quit\n",
       false},
      {"stop-like sentences go on",
       "0\n",
       {{"127.0.0.1", sentence("k")},
        {"127.0.0.1", sentence("Quix")},
        {"127.0.0.1", sentence("Quit!")},
        {"127.0.0.1", sentence("quit")},
        {"127.0.0.1", sentence("Quit now")},
        {"127.0.0.1", sentence("Quit\r")}},
       "127.0.0.1 says: k\n127.0.0.1 says: Quix\n127.0.0.1 says: Quit!\n"
       "127.0.0.1 says: quit\n127.0.0.1 says: Quit now\n"
       "127.0.0.1 says: Quit\\x0d\n",
       false},
      {"no stale bytes from a longer datagram",
       "0\n",
       {{"127.0.0.1", sentence("abcdefgh")},
        {"127.0.0.1", "xy"},
        {"127.0.0.1", std::string("Quit\0junk", 9)}},
       "127.0.0.1 says: abcdefgh\n127.0.0.1 says: xy\n127.0.0.1 says: Quit\n",
       false},
      {"control bytes escaped",
       "0\n",
       {{"127.0.0.1", sentence("x\n10.0.0.1 says: pay me")},
        {"127.0.0.1", sentence("\x1b[2J\ttab\x7f caf\xc3\xa9")},
        {"127.0.0.1", sentence("Quit")}},
       "127.0.0.1 says: x\\x0a10.0.0.1 says: pay me\n"
       "127.0.0.1 says: \\x1b[2J\ttab\\x7f caf\xc3\xa9\n"
       "127.0.0.1 says: Quit\n",
       false},
      {"longest sentence whole, longer datagrams cut",
       "0\n",
       {{"127.0.0.1", sentence(longest)},
        {"127.0.0.1", std::string(2000, 'z')},
        {"127.0.0.1", sentence("Quit")}},
       "127.0.0.1 says: " + longest + "\n127.0.0.1 says: " +
           std::string(1023, 'z') + "\n127.0.0.1 says: Quit\n",
       false},
      {"port word followed by more words",
       "  0 4242 more\n",
       {{"127.0.0.1", sentence("Quit")}},
       "127.0.0.1 says: Quit\n",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    program server(SERVER_PATH);
    const std::uint16_t port = start_server(server, c.port_line);
    ASSERT_NE(port, 4242);
    const udp_socket first("127.0.0.1");
    const udp_socket second("127.0.0.2");
    if (c.queued_at_once) server.send_signal(SIGSTOP);
    for (const auto& d : c.datagrams) {
      (std::string(d.from) == "127.0.0.1" ? first : second)
          .send_to(port, d.payload);
    }
    if (c.queued_at_once) server.send_signal(SIGCONT);
    const outcome result = server.finish();
    EXPECT_EQ(result.out, prompt + c.lines);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
  }
}

TEST(Server, FailsClearlyWithoutAPortToListenOn) {
  const udp_socket taken("0.0.0.0");
  const std::string taken_port = std::to_string(taken.port());
  const struct {
    const char* name;
    std::string input;
    stream_setup setup;
    std::string out;
    std::string err;
  } cases[] = {
      {"end of input", "", {}, prompt, "server: no listening port given\n"},
      {"only blanks",
       "  \n\t\n",
       {},
       prompt,
       "server: no listening port given\n"},
      {"input closed",
       "",
       {true, false, false, false},
       prompt,
       "server: no listening port given\n"},
      {"end of input on a terminal",
       "",
       {false, false, true, false},
       prompt + "\r\n",
       "server: no listening port given\n"},
      {"port in use",
       taken_port + "\n",
       {},
       prompt,
       "server: cannot listen on port " + taken_port +
           ": Address already in use\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    program server(SERVER_PATH, c.setup);
    const outcome result = server.finish(c.input);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.status, 1);
  }
}

// The number in a drop line, or -1 if the line is not one.
long dropped_in(const std::string& line) {
  long count = 0;
  char noun[16] = {};
  char rest[64] = {};
  if (std::sscanf(line.c_str(), "server: %ld %15s dropped: %63[^\n]", &count,
                  noun, rest) != 3 ||
      std::string(rest) != "receive queue full" ||
      std::string(noun) != (count == 1 ? "datagram" : "datagrams")) {
    return -1;
  }
  return count;
}

// Whole sender lines of numbered sentences, each once and in order.
long numbered_lines(const std::string& out) {
  std::istringstream lines(out.substr(prompt.size()));
  long count = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line == "127.0.0.1 says: Quit") continue;
    EXPECT_EQ(line, "127.0.0.1 says: " + std::to_string(count) +
                        std::string(100, '-'));
    ++count;
  }
  EXPECT_TRUE(out.empty() || out.back() == '\n' || out == prompt);
  return count;
}

// A stopped server cannot take what a flood brings: the queue fills, the
// system drops the rest, and the server tells how many once it runs again.
TEST(Server, ShowsOrTellsEveryDatagram) {
  constexpr long flood = 30000;
  program server(SERVER_PATH);
  const std::uint16_t port = start_server(server);
  server.send_signal(SIGSTOP);
  const udp_socket sender;
  for (long i = 0; i < flood; ++i) {
    sender.send_to(port, sentence(std::to_string(i) + std::string(100, '-')));
  }
  server.send_signal(SIGCONT);
  // The stop word may still meet a full queue, and be dropped and told in
  // its turn: it goes again until it shows.
  long sent = flood;
  do {
    sender.send_to(port, sentence("Quit"));
    ++sent;
  } while (!server.wait_for_output("says: Quit\n", 200ms) && sent < flood + 50);
  const outcome result = server.finish();
  long told = 0;
  std::istringstream lines(result.err);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_GT(dropped_in(line), 0) << line;
    told += dropped_in(line);
  }
  EXPECT_GT(told, 0);
  EXPECT_EQ(numbered_lines(result.out) + 1 + told, sent);
  EXPECT_EQ(result.status, 0);
}

// A stop signal in a burst leaves every line the server took shown whole,
// and ends the server by that signal.
TEST(Server, EndsByAStopSignalAfterShowingWhatItTook) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    program server(SERVER_PATH);
    const std::uint16_t port = start_server(server);
    const udp_socket sender;
    for (long i = 0; i < 2000; ++i) {
      sender.send_to(port, sentence(std::to_string(i) + std::string(100, '-')));
    }
    ASSERT_TRUE(server.wait_for_output("-\n"));
    server.send_signal(signal);
    const outcome result = server.finish();
    EXPECT_GT(numbered_lines(result.out), 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 128 + signal);
  }
}

}  // namespace
