#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
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
  std::vector<datagram> long_ones;
  std::string long_lines;
  for (int i = 0; i < 100; ++i) {
    long_ones.push_back({"127.0.0.1", sentence(std::string(1000, 'o'))});
    long_lines += "127.0.0.1 says: " + std::string(1000, 'o') + "\n";
  }
  long_ones.push_back({"127.0.0.1", sentence("Quit")});
  stream_setup nonblocking;
  nonblocking.output_nonblocking = true;
  // NOLINTNEXTLINE(clang-analyzer-optin.performance.Padding): a table
  const struct {
    const char* name;
    std::string port_line;
    std::vector<datagram> datagrams;
    std::string lines;
    bool queued_at_once;  // sent while the server is stopped
    std::string err{};
    stream_setup setup = {};
  } cases[] = {
      {"non-blocking output, more than its pipe holds", "0\n", long_ones,
       long_lines + "127.0.0.1 says: Quit\n", true, "", nonblocking},
      {"more than a batch queued at once", "0\n", many,
       many_lines + "127.0.0.1 says: Quit\n", true},
      {"nothing after the stop word in its batch",
       "0\n",
       {{"127.0.0.1", sentence("a")},
        {"127.0.0.1", sentence("Quit")},
        {"127.0.0.1", sentence("after")}},
       "127.0.0.1 says: a\n127.0.0.1 says: Quit\n",
       true,
       "server: 1 datagram not shown: the server stopped first\n"},
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
      {"longest sentence whole, longer datagrams cut and told",
       "0\n",
       {{"127.0.0.1", sentence(longest + "L")},
        {"127.0.0.1", std::string(2000, 'z')},
        {"127.0.0.1", std::string(1030, 'y') + '\0'},
        {"127.0.0.1", sentence("Quit")}},
       "127.0.0.1 says: " + longest +
           "L\n127.0.0.1 says: " + std::string(1023, 'z') +
           "\n127.0.0.1 says: " + std::string(1023, 'y') +
           "\n127.0.0.1 says: Quit\n",
       true,
       "server: 2 datagrams cut to their first 1023 bytes\n"},
      {"port word followed by more words",
       "  0 4242 more\n",
       {{"127.0.0.1", sentence("Quit")}},
       "127.0.0.1 says: Quit\n",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    program server(server_path(), c.setup);
    const std::uint16_t port = start_server(server, c.port_line);
    ASSERT_NE(port, 4242);
    const udp_socket first("127.0.0.1");
    const udp_socket second("127.0.0.2");
    if (c.queued_at_once) server.send_signal(SIGSTOP);
    for (const auto& d : c.datagrams) {
      (std::string(d.from) == "127.0.0.1" ? first : second)
          .send_to(port, d.payload);
    }
    if (c.queued_at_once) {
      server.send_signal(SIGCONT);
      usleep(200000);  // the lines fill the output before it is read
    }
    const outcome result = server.finish();
    EXPECT_EQ(result.out, prompt + c.lines);
    EXPECT_EQ(result.err, c.err);
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
    std::string err{};
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
    program server(server_path(), c.setup);
    const outcome result = server.finish(c.input);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.status, 1);
  }
}

// A numbered sentence: its number and a hundred dashes.
std::string numbered(long number) {
  return sentence(std::to_string(number) + std::string(100, '-'));
}

// What a server showed and told of numbered sentences from 127.0.0.1, read
// from its output or from its output and errors on one stream.
struct account {
  long shown = 0;
  long dropped = 0;
  long cut = 0;
  long not_shown = 0;
  bool quit = false;
  bool whole = true;           // only whole lines, each once and in order,
                               // but for a last one that a stop cut short
  bool drops_in_place = true;  // no drop line before the line of a datagram
                               // sent before the drops it counts
};

// The count in "server: <count> datagram(s) <what>", or -1.
long told_count(const std::string& line, const std::string& what) {
  long count = 0;
  char noun[16] = {};
  int end = 0;
  if (std::sscanf(line.c_str(), "server: %ld %15s %n", &count, noun, &end) !=
          2 ||
      std::string(noun) != (count == 1 ? "datagram" : "datagrams") ||
      line.compare(end, std::string::npos, what) != 0) {
    return -1;
  }
  return count;
}

account account_for(const std::string& text, const std::string& errors = "") {
  account a;
  std::istringstream lines(text + "\n" + errors);
  long next = 0;  // the least number a numbered line may still have
  // Each drop line, with the lines shown and the drops told up to it.
  struct drop_line {
    long shown, told;
  };
  std::vector<drop_line> drop_lines;
  // A last line without its end was cut short: its datagram is not shown.
  const std::size_t cut_short = text.size() - (text.rfind('\n') + 1);
  for (std::string line; std::getline(lines, line);) {
    if (cut_short > 0 &&
        lines.tellg() == static_cast<std::streamoff>(text.size() + 1)) {
      continue;
    }
    line.erase(0, std::min(line.size(), line.find_first_not_of(error_filler)));
    if (line.compare(0, prompt.size(), prompt) == 0)
      line.erase(0, prompt.size());
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string says = "127.0.0.1 says: ";
    long count;
    if (line == says + "Quit") {
      a.quit = true;
    } else if (line.compare(0, says.size(), says) == 0) {
      const long number = std::atol(line.c_str() + says.size());
      // The sentence without its terminator.
      const std::string shown = numbered(number);
      a.whole = a.whole && number >= next &&
                line.compare(says.size(), std::string::npos, shown, 0,
                             shown.size() - 1) == 0;
      // Each drop line so far must count only datagrams missing before this.
      for (const drop_line& d : drop_lines) {
        a.drops_in_place = a.drops_in_place && d.told <= number - d.shown;
      }
      drop_lines.clear();
      next = number + 1;
      ++a.shown;
    } else if ((count = told_count(line, "dropped: receive queue full")) > 0) {
      a.dropped += count;
      drop_lines.push_back({a.shown, a.dropped});
    } else if ((count = told_count(line, "cut to their first 1023 bytes")) >
               0) {
      a.cut += count;
    } else if ((count = told_count(
                    line, "not shown: the server stopped first")) > 0) {
      a.not_shown += count;
    } else if (line.compare(0, 26, "server: listening on port ") != 0 &&
               !line.empty()) {
      ADD_FAILURE() << "unexpected line: " << line;
      a.whole = false;
    }
  }
  return a;
}

// A flood of numbered sentences to a stopped server, or to one whose output
// nobody reads for a while: the queue fills, the system drops the rest, and
// the server tells how many, after the lines of every datagram that came
// before the drops and before the stop word; or, when the stop word came
// first, counts what it did not show.
TEST(Server, ShowsOrTellsEveryDatagramAndPlacesEachDropLine) {
  constexpr long flood = 30000;
  enum class state { stopped, output_unread, stopped_after_stop_word };
  for (const state s :
       {state::stopped, state::output_unread, state::stopped_after_stop_word}) {
    SCOPED_TRACE(static_cast<int>(s));
    const bool stop_word_first = s == state::stopped_after_stop_word;
    stream_setup one_stream;
    one_stream.errors_to_output = true;
    program server(server_path(), one_stream);
    server.write_input("0\n");
    std::uint16_t port = 0;
    ASSERT_TRUE(server.wait_until([&](const std::string& out,
                                      const std::string&) {
      port = announced_port(out.substr(std::min(out.size(), prompt.size())));
      return port != 0 && out.back() == '\n';
    }));
    if (s != state::output_unread) server.send_signal(SIGSTOP);
    const udp_socket sender;
    long sent = 0;
    if (stop_word_first) sender.send_to(port, sentence("Quit")), ++sent;
    for (long i = 0; i < flood; ++i) sender.send_to(port, numbered(i)), ++sent;
    if (s != state::output_unread) server.send_signal(SIGCONT);
    if (!stop_word_first) {
      // Drops are told while the server runs, not only at its end.
      EXPECT_TRUE(
          server.wait_until([](const std::string& out, const std::string&) {
            return out.find(" dropped: ") != std::string::npos;
          }));
      // The stop word may meet a full queue in its turn: it goes again.
      do {
        sender.send_to(port, sentence("Quit"));
        ++sent;
      } while (!server.wait_until(
                   [](const std::string& out, const std::string&) {
                     return out.find("says: Quit\n") != std::string::npos;
                   },
                   200ms) &&
               sent < flood + 50);
    }
    const outcome result = server.finish();
    const account a = account_for(result.out);
    EXPECT_TRUE(a.quit);
    EXPECT_TRUE(a.whole);
    EXPECT_TRUE(a.drops_in_place);
    EXPECT_GT(a.dropped, 0);
    EXPECT_EQ(a.shown + 1 + a.dropped + a.not_shown, sent);
    if (stop_word_first) {
      EXPECT_EQ(a.shown, 0);
    }
    EXPECT_EQ(result.status, 0);
  }
}

// Sends numbered sentences to `port` from a child of its own, as fast as it
// can, until it is stopped or a bound is reached.
struct flooder {
  pid_t pid;
  explicit flooder(std::uint16_t port)
      : pid(start_function([port] {
          // It holds none of the test's descriptors, a terminal among them.
          close_range(STDERR_FILENO + 1, ~0U, 0);
          const udp_socket sender;
          const auto end = process_clock::now() + 20s;
          for (long i = 0; i < 10000000 && process_clock::now() < end; ++i) {
            try {
              sender.send_to(port, numbered(i));
            } catch (const std::runtime_error&) {
              return 0;
            }
          }
          return 0;
        })) {}
  ~flooder() { kill_child(pid); }
  flooder(const flooder&) = delete;
  flooder& operator=(const flooder&) = delete;
};

// A stop signal ends the server by that signal at once, whatever it is doing
// and however blocked its output; what it took and could not show is counted.
TEST(Server, EndsByAStopSignalInEveryState) {
  enum class traffic { none, burst, flood, long_datagram };
  enum class before { nothing, pause_output, hang_up };
  stream_setup terminal;
  terminal.output_terminal = true;
  stream_setup errors_full;
  errors_full.errors_full = true;
  stream_setup hangup_ignored;
  hangup_ignored.ignored_signal = SIGHUP;
  const struct {
    const char* name;
    stream_setup setup;
    traffic sent;
    before step;
    bool read;   // the output is read as it comes
    int signal;  // sent by the test; 0 when the step brings it
    int ends_by;
  } cases[] = {
      {"waiting", {}, traffic::none, before::nothing, true, SIGINT, SIGINT},
      {"after a burst",
       {},
       traffic::burst,
       before::nothing,
       true,
       SIGTERM,
       SIGTERM},
      {"busy with a flood",
       {},
       traffic::flood,
       before::nothing,
       true,
       SIGHUP,
       SIGHUP},
      {"output a full pipe",
       {},
       traffic::burst,
       before::nothing,
       false,
       SIGTERM,
       SIGTERM},
      {"output a paused terminal", terminal, traffic::burst,
       before::pause_output, false, SIGINT, SIGINT},
      {"errors a full pipe", errors_full, traffic::long_datagram,
       before::nothing, false, SIGHUP, SIGHUP},
      {"terminal hung up during traffic", terminal, traffic::flood,
       before::hang_up, true, 0, SIGHUP},
      {"hangup ignored from the start", hangup_ignored, traffic::burst,
       before::nothing, true, SIGHUP, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    program server(server_path(), c.setup);
    const std::uint16_t port = free_port();
    server.write_input(std::to_string(port) + "\n");
    for (int tries = 0; tries < 500 && !udp_port_bound(port); ++tries) {
      usleep(10000);
    }
    if (c.step == before::pause_output) {
      server.pause_output();
      usleep(100000);  // the terminal takes its input a moment later
    }
    const udp_socket sender;
    long sent = 0;
    std::unique_ptr<flooder> flood;
    if (c.sent == traffic::burst) {
      for (; sent < 2000; ++sent) sender.send_to(port, numbered(sent));
    } else if (c.sent == traffic::long_datagram) {
      sender.send_to(port, std::string(2000, 'z'));
    } else if (c.sent == traffic::flood) {
      flood = std::make_unique<flooder>(port);
    }
    // The server has taken what came, and waits, or is blocked or busy.
    if (c.read) {
      server.wait_until(
          [](const std::string&, const std::string&) { return false; }, 300ms);
    } else {
      usleep(300000);
    }
    if (c.step == before::hang_up) server.hang_up();
    if (c.signal != 0) server.send_signal(c.signal);
    // Lines the server took still go out if the output takes them at once.
    if (c.step == before::pause_output) server.resume_output();
    if (c.ends_by != 0) {
      EXPECT_TRUE(server.ends_within(1s));
    } else {
      EXPECT_FALSE(server.ends_within(300ms));
      sender.send_to(port, sentence("Quit"));
      ++sent;
    }
    flood.reset();
    const outcome result = server.finish();
    EXPECT_EQ(result.signal, c.ends_by);
    EXPECT_EQ(result.status, c.ends_by == 0 ? 0 : 128 + c.ends_by);
    if (c.step == before::hang_up) continue;
    const account a = account_for(result.out, result.err);
    if (c.sent != traffic::long_datagram) {
      EXPECT_TRUE(a.whole);
    }
    if (c.sent == traffic::burst) {
      EXPECT_EQ(a.shown + a.dropped + a.not_shown + (a.quit ? 1 : 0), sent);
      EXPECT_GT(a.shown, 0);
      EXPECT_GT(c.read ? 1 : a.not_shown, 0);
    }
  }
}

// Tells whether this process, and so a server it starts, may pass the
// system's cap on a receive queue (CAP_NET_ADMIN).
bool may_pass_queue_cap() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 7, "CapEff:") == 0) {
      constexpr unsigned long net_admin = 1UL << 12;
      return (std::stoul(line.substr(7), nullptr, 16) & net_admin) != 0;
    }
  }
  return false;
}

// The receive queue of the UDP socket bound to `port`, as ss(8) tells it, or
// -1.
long queue_of_udp_port(std::uint16_t port) {
  const std::string command =
      "ss -Huanm sport = :" + std::to_string(port) + " 2>/dev/null";
  FILE* ss = popen(command.c_str(), "r");
  if (ss == nullptr) return -1;
  std::string text;
  char chunk[512];
  while (std::fgets(chunk, sizeof chunk, ss) != nullptr) text += chunk;
  pclose(ss);
  const std::size_t at = text.find(",rb");
  return at == std::string::npos ? -1 : std::atol(text.c_str() + at + 3);
}

// The server asks for the deepest receive queue the system allows: beyond
// the system's cap when it may pass it.
TEST(Server, GetsTheDeepestQueueTheSystemAllows) {
  program server(server_path());
  const std::uint16_t port = start_server(server);
  long cap = 0;
  std::ifstream("/proc/sys/net/core/rmem_max") >> cap;
  // The system grants twice what is asked, for its own overhead.
  const long granted = 2 * cap;
  const long wanted = 8L << 20;
  const long expected =
      granted >= wanted ? granted : (may_pass_queue_cap() ? wanted : granted);
  EXPECT_EQ(queue_of_udp_port(port), expected);
  server.send_signal(SIGTERM);
  EXPECT_EQ(server.finish().signal, SIGTERM);
}

}  // namespace
