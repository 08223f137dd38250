#include <gtest/gtest.h>
#include <sys/wait.h>
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

#include "support/told.h"
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
  const stream_setup nonblocking = with(&stream_setup::output_nonblocking);
  const std::uint16_t free = free_port();
  const std::string wrapped = std::to_string(free + 65536);
  // Datagrams sent while the server is stopped come all at once.
  enum class arrival { one_by_one, at_once };
  // NOLINTNEXTLINE(clang-analyzer-optin.performance.Padding): a table
  const struct {
    const char* name;
    std::string port_line;
    std::vector<datagram> datagrams;
    std::string lines;
    arrival comes;
    std::string err{};
    stream_setup setup = {};
    std::string said{};  // what the server says of its port, if not the usual
  } cases[] = {
      {"non-blocking output, more than its pipe holds", "0\n", long_ones,
       long_lines + "127.0.0.1 says: Quit\n", arrival::at_once, "",
       nonblocking},
      {"more than a batch queued at once", "0\n", many,
       many_lines + "127.0.0.1 says: Quit\n", arrival::at_once},
      {"nothing after the stop word in its batch",
       "0\n",
       {{"127.0.0.1", sentence("a")},
        {"127.0.0.1", sentence("Quit")},
        {"127.0.0.1", sentence("after")}},
       "127.0.0.1 says: a\n127.0.0.1 says: Quit\n",
       arrival::at_once,
       "server: 1 datagram not shown: the server stopped first\n"},
      {"senders in arrival order",
       "0\n",
       {{"127.0.0.1", sentence("hello")},
        {"127.0.0.2", sentence("from two")},
        {"127.0.0.1", sentence("")},
        {"127.0.0.2", sentence("Quit")}},
       "127.0.0.1 says: hello\n127.0.0.2 says: from two\n"
       "127.0.0.1 says: \n127.0.0.2 says: Quit\n",
       arrival::one_by_one},
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
       arrival::one_by_one},
      {"no stale bytes from a longer datagram",
       "0\n",
       {{"127.0.0.1", sentence("abcdefgh")},
        {"127.0.0.1", "xy"},
        {"127.0.0.1", std::string("Quit\0junk", 9)}},
       "127.0.0.1 says: abcdefgh\n127.0.0.1 says: xy\n127.0.0.1 says: Quit\n",
       arrival::one_by_one},
      {"control bytes escaped",
       "0\n",
       {{"127.0.0.1", sentence("x\n10.0.0.1 says: pay me")},
        {"127.0.0.1", sentence("\x1b[2J\ttab\x7f caf\xc3\xa9")},
        {"127.0.0.1", sentence("Quit")}},
       "127.0.0.1 says: x\\x0a10.0.0.1 says: pay me\n"
       "127.0.0.1 says: \\x1b[2J\ttab\\x7f caf\xc3\xa9\n"
       "127.0.0.1 says: Quit\n",
       arrival::one_by_one},
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
       arrival::at_once,
       "server: 2 datagrams cut to their first 1023 bytes\n"},
      {"port word followed by more words",
       "  0 4242 more\n",
       {{"127.0.0.1", sentence("Quit")}},
       "127.0.0.1 says: Quit\n",
       arrival::one_by_one},
      {"port out of range wraps, and is said to",
       wrapped + "\n",
       {{"127.0.0.1", sentence("Quit")}},
       "127.0.0.1 says: Quit\n",
       arrival::one_by_one,
       "",
       {},
       "server: port " + wrapped + " is out of range: listening on port " +
           std::to_string(free)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    program server(server_path(), c.setup);
    std::string said;
    const std::uint16_t port = start_server(server, c.port_line, &said);
    ASSERT_NE(port, 4242);
    if (!c.said.empty()) {
      EXPECT_EQ(said, c.said);
    }
    const udp_socket first("127.0.0.1");
    const udp_socket second("127.0.0.2");
    if (c.comes == arrival::at_once) server.send_signal(SIGSTOP);
    for (const auto& d : c.datagrams) {
      (std::string(d.from) == "127.0.0.1" ? first : second)
          .send_to(port, d.payload);
    }
    if (c.comes == arrival::at_once) {
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
      {"input closed", "", with(&stream_setup::input_closed), prompt,
       "server: no listening port given\n"},
      {"end of input on a terminal", "", with(&stream_setup::output_terminal),
       prompt + "\r\n", "server: no listening port given\n"},
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

// A numbered sentence: its number and `dashes` dashes.
std::string numbered(long number, std::size_t dashes = 100) {
  return sentence(std::to_string(number) + std::string(dashes, '-'));
}

// What a server showed and told of numbered sentences from 127.0.0.1, read
// from its output or from its output and errors on one stream.
struct account {
  long shown = 0;
  long dropped = 0;        // told dropped: receive queue full
  long queue_dropped = 0;  // told dropped: output queue full
  long cut = 0;
  long not_shown = 0;
  bool quit = false;
  bool whole = true;     // only whole lines, each once and in order, but for
                         // a last one that a stop cut short
  bool in_place = true;  // between two lines, drops told for exactly the
                         // datagrams missing between them
};

account account_for(const std::string& text, const std::string& errors = "") {
  account a;
  std::istringstream lines(text + "\n" + errors);
  long next = 0;        // the number the next line shows, if nothing is missing
  long told_since = 0;  // drops told since the last numbered line
  // A last line without its end was cut short: its datagram is not shown.
  const std::size_t cut_short = text.size() - (text.rfind('\n') + 1);
  const auto told = [](const std::string& line, const char* what) {
    return told_count(line, "server", "datagram", what);
  };
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
      const std::size_t dashes = line.size() - line.find('-');
      // The sentence without its terminator.
      const std::string shown = numbered(number, dashes);
      a.whole = a.whole && number >= next &&
                line.compare(says.size(), std::string::npos, shown, 0,
                             shown.size() - 1) == 0;
      a.in_place = a.in_place && told_since == number - next;
      told_since = 0;
      next = number + 1;
      ++a.shown;
    } else if ((count = told(line, "dropped: receive queue full")) > 0) {
      a.dropped += count;
      told_since += count;
    } else if ((count = told(line, "dropped: output queue full")) > 0) {
      a.queue_dropped += count;
      told_since += count;
    } else if ((count = told(line, "cut to their first 1023 bytes")) > 0 ||
               (count = told(line, "cut to its first 1023 bytes")) > 0) {
      a.cut += count;
    } else if ((count = told(line, "not shown: the server stopped first")) >
               0) {
      a.not_shown += count;
    } else if (line.compare(0, 26, "server: listening on port ") != 0 &&
               !line.empty()) {
      ADD_FAILURE() << "unexpected line: " << line;
      a.whole = false;
    }
  }
  return a;
}

// Sends `count` numbered sentences to `port` from a child of its own, as
// fast as it can, for 20 s at most.
struct flooder {
  pid_t pid;
  flooder(std::uint16_t port, long count)
      : pid(start_function([port, count] {
          // It holds none of the test's descriptors, a terminal among them.
          close_range(STDERR_FILENO + 1, ~0U, 0);
          const udp_socket sender;
          const auto end = process_clock::now() + 20s;
          for (long i = 0; i < count && process_clock::now() < end; ++i) {
            try {
              sender.send_to(port, numbered(i));
            } catch (const std::runtime_error&) {
              return 1;
            }
          }
          return 0;
        })) {}
  ~flooder() { kill_child(pid); }
  flooder(const flooder&) = delete;
  flooder& operator=(const flooder&) = delete;
  // Tells whether it has sent all it was to send.
  bool done() {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) pid = -1;
    return pid < 0;
  }
};

// The peak memory of process `pid`, in KiB, or -1.
long peak_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 6, "VmHWM:") == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// Numbered sentences to a server that cannot keep up for a while: the
// server's own queue holds what its output has not taken, the system drops
// what the receive queue cannot hold while the server is stopped, and the
// server drops what its full queue cannot; every loss is told exactly at its
// gap, while the server is busy too, and soon once traffic stops. A stop
// word that comes first leaves the rest counted, not shown.
TEST(Server, ShowsOrTellsEveryDatagramAndPlacesEachDropLine) {
  enum class meanwhile {
    output_unread,     // nobody reads the output until the stop word
    stopped,           // the server is stopped while the burst comes
    stop_word_first,   // stopped, and the stop word comes first
    stopped_in_turns,  // stopped and continued in turns, 20 ms each
  };
  enum class traffic { burst, flood, trickle };
  enum class drops { none, system, queue };
  const struct {
    const char* name;
    meanwhile step;
    traffic sent;
    long count;          // numbered sentences
    std::size_t dashes;  // in each
    drops lost;          // the kind of drop that must be told
  } cases[] = {
      {"a burst into an output nobody reads: nothing lost",
       meanwhile::output_unread, traffic::burst, 30000, 100, drops::none},
      {"a burst into a stopped server: drops told within 0.5 s",
       meanwhile::stopped, traffic::burst, 30000, 100, drops::system},
      {"the stop word first", meanwhile::stop_word_first, traffic::burst, 30000,
       100, drops::system},
      {"more than the server's queue holds, output unread",
       meanwhile::output_unread, traffic::burst, 80000, 1000, drops::queue},
      {"a flood of over a second, the server stopped in turns",
       meanwhile::stopped_in_turns, traffic::flood, 600000, 100, drops::system},
      {"a trickle, the server stopped in turns: nothing lost",
       meanwhile::stopped_in_turns, traffic::trickle, 200, 100, drops::none},
  };
  const auto never = [](const std::string&, const std::string&) {
    return false;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    program server(server_path(), with(&stream_setup::errors_to_output));
    server.write_input("0\n");
    std::uint16_t port = 0;
    ASSERT_TRUE(server.wait_until([&](const std::string& out,
                                      const std::string&) {
      port = announced_port(out.substr(std::min(out.size(), prompt.size())));
      return port != 0 && out.back() == '\n';
    }));
    const bool stopped =
        c.step == meanwhile::stopped || c.step == meanwhile::stop_word_first;
    if (stopped) server.send_signal(SIGSTOP);
    const udp_socket sender;
    long sent = 0;
    if (c.step == meanwhile::stop_word_first) {
      sender.send_to(port, sentence("Quit"));
      ++sent;
    }
    if (c.sent == traffic::burst) {
      for (long i = 0; i < c.count; ++i, ++sent) {
        sender.send_to(port, numbered(i, c.dashes));
        // A running server takes a burst at this pace even when the
        // system's receive queue is as short as a stock kernel's.
        if (!stopped && i % 64 == 0) usleep(1000);
      }
    } else if (c.sent == traffic::trickle) {
      for (long i = 0; i < c.count; ++i, ++sent) {
        sender.send_to(port, numbered(i, c.dashes));
        server.send_signal(i % 2 == 0 ? SIGSTOP : SIGCONT);
        server.wait_until(never, 5ms);
      }
      server.send_signal(SIGCONT);
    } else {
      flooder flood(port, c.count);
      for (int turn = 0; turn < 1000 && !flood.done(); ++turn) {
        server.send_signal(turn % 2 == 0 ? SIGSTOP : SIGCONT);
        server.wait_until(never, 20ms);
      }
      server.send_signal(SIGCONT);
      ASSERT_TRUE(flood.done());
      sent += c.count;
    }
    const long peak = peak_kib(server.pid());
    if (stopped) server.send_signal(SIGCONT);
    if (c.step == meanwhile::stopped) {
      // The drops came last: no datagram brings their count.
      EXPECT_TRUE(server.wait_until(
          [](const std::string& out, const std::string&) {
            return out.find(" dropped: ") != std::string::npos;
          },
          500ms));
    }
    if (c.step != meanwhile::stop_word_first) {
      // The stop word may meet a full queue in its turn: it goes again.
      do {
        sender.send_to(port, sentence("Quit"));
        ++sent;
      } while (!server.wait_until(
                   [](const std::string& out, const std::string&) {
                     return out.find("says: Quit\n") != std::string::npos;
                   },
                   c.step == meanwhile::output_unread ? 10s : 500ms) &&
               sent < c.count + 50);
    }
    const outcome result = server.finish("", 10s);
    const account a = account_for(result.out);
    EXPECT_TRUE(a.quit);
    EXPECT_TRUE(a.whole);
    EXPECT_TRUE(a.in_place);
    EXPECT_EQ(a.shown + 1 + a.dropped + a.queue_dropped + a.not_shown, sent);
    EXPECT_EQ(a.dropped + a.queue_dropped > 0, c.lost != drops::none);
    if (c.lost == drops::queue) {
      EXPECT_GT(a.queue_dropped, 0);
      // The queue's lines, and what the server needs besides.
      EXPECT_LT(peak, 80 << 10);
    }
    if (c.step == meanwhile::stop_word_first) {
      EXPECT_EQ(a.shown, 0);
    }
    EXPECT_EQ(result.status, 0);
  }
}

// A stop signal ends the server by that signal at once, whatever it is doing
// and however blocked its output; what it took and could not show is counted.
TEST(Server, EndsByAStopSignalInEveryState) {
  enum class traffic { none, burst, big_burst, flood, long_datagram };
  enum class before { nothing, pause_output, hang_up };
  enum class output { read, unread };
  const stream_setup plain;
  const stream_setup terminal = with(&stream_setup::output_terminal);
  const stream_setup errors_full = with(&stream_setup::errors_full);
  stream_setup hangup_ignored;
  hangup_ignored.ignored_signal = SIGHUP;
  stream_setup term_held;
  term_held.blocked_signal = SIGTERM;
  stream_setup int_held;
  int_held.blocked_signal = SIGINT;
  const struct {
    const char* name;
    stream_setup setup;
    traffic sent;
    before step;
    output reading;
    int signal;  // sent by the test; 0 when the step brings it
    int ends_by;
  } cases[] = {
      {"waiting", plain, traffic::none, before::nothing, output::read, SIGINT,
       SIGINT},
      {"after a burst", plain, traffic::burst, before::nothing, output::read,
       SIGTERM, SIGTERM},
      {"busy with a flood", plain, traffic::flood, before::nothing,
       output::read, SIGHUP, SIGHUP},
      {"output a full pipe", plain, traffic::burst, before::nothing,
       output::unread, SIGTERM, SIGTERM},
      {"output a full pipe, 30 MB in the server's queue", plain,
       traffic::big_burst, before::nothing, output::unread, SIGTERM, SIGTERM},
      {"output a paused terminal", terminal, traffic::burst,
       before::pause_output, output::unread, SIGINT, SIGINT},
      {"errors a full pipe", errors_full, traffic::long_datagram,
       before::nothing, output::unread, SIGHUP, SIGHUP},
      {"terminal hung up during traffic", terminal, traffic::flood,
       before::hang_up, output::read, 0, SIGHUP},
      {"hangup ignored from the start", hangup_ignored, traffic::burst,
       before::nothing, output::read, SIGHUP, 0},
      {"termination held back by the parent", term_held, traffic::none,
       before::nothing, output::read, SIGTERM, SIGTERM},
      {"interrupt held back by the parent, after a burst", int_held,
       traffic::burst, before::nothing, output::read, SIGINT, SIGINT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    program server(server_path(), c.setup);
    const std::uint16_t port = free_port();
    server.write_input(std::to_string(port) + "\n");
    await_udp_port(port, 5s);
    if (c.step == before::pause_output) {
      server.pause_output();
      usleep(100000);  // the terminal takes its input a moment later
    }
    const udp_socket sender;
    long sent = 0;
    std::unique_ptr<flooder> flood;
    if (c.sent == traffic::burst) {
      for (; sent < 2000; ++sent) sender.send_to(port, numbered(sent));
    } else if (c.sent == traffic::big_burst) {
      for (; sent < 30000; ++sent) {
        sender.send_to(port, numbered(sent, 1000));
        if (sent % 64 == 0) usleep(1000);
      }
    } else if (c.sent == traffic::long_datagram) {
      sender.send_to(port, std::string(2000, 'z'));
    } else if (c.sent == traffic::flood) {
      flood = std::make_unique<flooder>(port, 10000000);
    }
    // The server has taken what came, and waits, or is blocked or busy.
    if (c.reading == output::read) {
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
      // Within a tenth of a second, and some room for a loaded machine.
      EXPECT_TRUE(server.ends_within(500ms));
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
    if (c.sent == traffic::burst || c.sent == traffic::big_burst) {
      EXPECT_EQ(a.shown + a.dropped + a.queue_dropped + a.not_shown +
                    (a.quit ? 1 : 0),
                sent);
      EXPECT_GT(a.shown, 0);
      // An unread output leaves lines in the server's queue, unless a
      // machine busy with other tests had the system drop them first.
      EXPECT_GT(c.reading == output::read ? 1 : a.not_shown + a.dropped, 0)
          << result.err;
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
