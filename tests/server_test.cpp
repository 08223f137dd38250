#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/told.h"
#include "tests/harness.h"

namespace {

// The programs under test carry the sanitizers' runtime where this test does.
#ifdef __SANITIZE_ADDRESS__
constexpr bool programs_sanitized = true;
#else
constexpr bool programs_sanitized = false;
#endif

const std::string prompt = "Please enter your listening port: ";

struct datagram {
  const char* from;
  std::string payload;
};

std::string sentence(const std::string& text) { return text + '\0'; }

// What the server says of a standard stream that it could not open anew.
std::string timed_notice(const std::string& stream) {
  return "server: standard " + stream +
         " cannot be written without waiting (Permission denied): each write "
         "waits a millisecond at most\n";
}

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
  const stream_setup other_user = with(&stream_setup::other_user);
  stream_setup typed_at_terminal = with(&stream_setup::output_terminal);
  typed_at_terminal.input_terminal = true;
  stream_setup as_a_service = with(&stream_setup::output_socket);
  as_a_service.errors_to_output = true;
  const stream_setup errors_full_device =
      with(&stream_setup::errors_full_device);
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
    std::string said{};  // how what the server says of its port begins, if
                         // not as usual
    std::string out{};   // standard output, if not the prompt, its line end
                         // and the lines
  } cases[] = {
      {"a datagram socket as output: a line a datagram",
       "0\n",
       {{"127.0.0.1", sentence("hello")},
        {"127.0.0.1", sentence("")},
        {"127.0.0.1", sentence("Quit")}},
       "127.0.0.1 says: hello\n127.0.0.1 says: \n127.0.0.1 says: Quit\n",
       arrival::at_once,
       "",
       with(&stream_setup::output_datagrams)},
      {"a UDP peer that refuses every line: each told, the server goes on",
       "0\n",
       {{"127.0.0.1", sentence("a")},
        {"127.0.0.1", sentence("b")},
        {"127.0.0.1", sentence("Quit")}},
       "",
       arrival::one_by_one,
       "server: 3 datagrams not shown: refused by standard output\n",
       with(&stream_setup::output_refused)},
      {"non-blocking output, more than its pipe holds", "0\n", long_ones,
       long_lines + "127.0.0.1 says: Quit\n", arrival::at_once, "",
       nonblocking},
      {"through a pipe the server cannot open anew, more than it holds", "0\n",
       long_ones, long_lines + "127.0.0.1 says: Quit\n", arrival::at_once,
       timed_notice("output") + timed_notice("error"), other_user},
      {"more than a batch queued at once", "0\n", many,
       many_lines + "127.0.0.1 says: Quit\n", arrival::at_once},
      {"errors a full device, a loss line due: the lines go on",
       "0\n",
       {{"127.0.0.1", std::string(2000, 'z')},
        {"127.0.0.1", sentence("after")},
        {"127.0.0.1", sentence("Quit")}},
       "127.0.0.1 says: " + std::string(1023, 'z') +
           "\n127.0.0.1 says: after\n127.0.0.1 says: Quit\n",
       arrival::one_by_one,
       "",
       errors_full_device},
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
      {"port word with a typo after its digits: said",
       std::to_string(free) + "OO\n",
       {{"127.0.0.1", sentence("Quit")}},
       "127.0.0.1 says: Quit\n",
       arrival::one_by_one,
       "",
       {},
       "server: port " + std::to_string(free) +
           "OO is not a number: listening on port " + std::to_string(free)},
      {"port word with a sign: said",
       "+" + std::to_string(free) + "\n",
       {{"127.0.0.1", sentence("Quit")}},
       "127.0.0.1 says: Quit\n",
       arrival::one_by_one,
       "",
       {},
       "server: port +" + std::to_string(free) +
           " is not a number: listening on port " + std::to_string(free)},
      {"port word of letters: said, and a port chosen",
       "abc\n",
       {{"127.0.0.1", sentence("Quit")}},
       "127.0.0.1 says: Quit\n",
       arrival::one_by_one,
       "",
       {},
       "server: port abc is not a number: listening on port "},
      {"port word before a carriage return: as usual",
       "0\r\n",
       {{"127.0.0.1", sentence("Quit")}},
       "127.0.0.1 says: Quit\n",
       arrival::one_by_one},
      {"port typed at the terminal that shows the lines: its echo ends the "
       "prompt's line",
       "0\n",
       {{"127.0.0.1", sentence("hello")}, {"127.0.0.1", sentence("Quit")}},
       "",
       arrival::one_by_one,
       "",
       typed_at_terminal,
       "",
       prompt + "0\r\n127.0.0.1 says: hello\r\n127.0.0.1 says: Quit\r\n"},
      {"as a service manager starts it: the port a text, output and errors "
       "one stream socket",
       std::to_string(free) + "\n",
       {{"127.0.0.1", sentence("boot message")},
        {"127.0.0.1", sentence("Quit")}},
       "127.0.0.1 says: boot message\n127.0.0.1 says: Quit\n",
       arrival::one_by_one,
       "",
       as_a_service},
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
  // A row that cannot go on fails alone: an assertion ends its run only.
  const auto run = [&](const auto& c) {
    if (c.setup.other_user && geteuid() != 0) {
      std::printf("[ SKIPPED  ] %s: running as another user needs root\n",
                  c.name);
      return;
    }
    program server(server_path(), c.setup);
    std::string said;
    std::uint16_t port;
    if (c.setup.errors_full_device || c.setup.errors_to_output) {
      // Standard error cannot say the port, or not apart: the test chooses
      // it.
      port = c.setup.errors_to_output
                 ? static_cast<std::uint16_t>(std::stoi(c.port_line))
                 : free_port();
      server.write_input(std::to_string(port) + "\n");
      ASSERT_TRUE(await_udp_port(port, 5s));
    } else {
      // At a terminal, the answer is typed once the prompt shows.
      if (c.setup.input_terminal) {
        ASSERT_TRUE(server.wait_for_output(prompt));
      }
      port = start_server(server, c.port_line, &said);
    }
    ASSERT_NE(port, 4242);
    if (!c.said.empty()) {
      EXPECT_EQ(said.compare(0, c.said.size(), c.said), 0) << said;
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
    if (c.setup.output_refused) {
      // Each refusal is told once the next line or the end reports it.
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(told_sum(result.err, "server", "datagram",
                         "not shown: refused by standard output"),
                told_sum(c.err, "server", "datagram",
                         "not shown: refused by standard output"))
          << result.err;
    } else {
      // The prompt's line ends once its answer is read.
      EXPECT_EQ(result.out, c.out.empty() ? prompt + "\n" + c.lines : c.out);
      EXPECT_EQ(result.err, c.err);
    }
    if (c.setup.output_datagrams) {
      std::vector<std::string> each_apart = {prompt, "\n"};
      std::istringstream lines(c.lines);
      for (std::string line; std::getline(lines, line);) {
        each_apart.push_back(line + "\n");
      }
      EXPECT_EQ(result.out_datagrams, each_apart);
    }
    EXPECT_EQ(result.status, 0);
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    run(c);
  }
}

TEST(Server, FailsClearlyWithoutAPortToListenOn) {
  const udp_socket taken("0.0.0.0");
  const std::string taken_port = std::to_string(taken.port());
  const std::uint16_t chosen = free_port();
  const struct {
    const char* name;
    std::string input;
    stream_setup setup;
    std::string out;
    std::string err{};
    bool sends_one = false;  // a datagram once the server listens
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
       prompt + "\n",
       "server: cannot listen on port " + taken_port +
           ": Address already in use\n"},
      {"output closed: a failed write, not a signal",
       std::to_string(chosen) + "\n", with(&stream_setup::output_closed), "",
       "server: cannot write prompt: Broken pipe\n"
       "server: cannot write output: Broken pipe\n"
       "server: 1 datagram not shown: the server stopped first\n",
       true},
      {"output not open for writing: never written",
       std::to_string(chosen) + "\n", with(&stream_setup::output_read_only), "",
       "server: cannot write prompt: Bad file descriptor\n"
       "server: cannot write output: Bad file descriptor\n"
       "server: 1 datagram not shown: the server stopped first\n",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    program server(server_path(), c.setup);
    if (c.sends_one) {
      server.write_input(c.input);
      ASSERT_TRUE(await_udp_port(chosen, 5s));
      udp_socket().send_to(chosen, sentence("hello"));
    }
    const outcome result = server.finish(c.sends_one ? "" : c.input);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.status, 1);
  }
}

// A log emptied under the running server, as logrotate's copytruncate does:
// opened to append (>>), the server goes on at the start of it; opened
// plainly (>), at its old offset, after as many zero bytes.
TEST(Server, GoesOnInALogEmptiedUnderIt) {
  const struct {
    const char* name;
    bool appends;
    bool starts_with_zero_bytes;
  } cases[] = {
      {"opened with >>: the lines after at its start", true, false},
      {"opened with >: zero bytes first", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char path[] = "/tmp/server-log-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    stream_setup logging;
    logging.output_file = path;
    logging.output_appends = c.appends;
    program server(server_path(), logging);
    const std::uint16_t port = start_server(server);
    const udp_socket sender;
    sender.send_to(port, sentence("before"));
    const auto deadline = process_clock::now() + 5s;
    while (std::filesystem::file_size(path) <= prompt.size() + 1 &&
           process_clock::now() < deadline) {
      usleep(1000);
    }
    ASSERT_EQ(truncate(path, 0), 0);
    sender.send_to(port, sentence("after"));
    sender.send_to(port, sentence("Quit"));
    EXPECT_EQ(server.finish().status, 0);
    std::ifstream log(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(log)),
                           std::istreambuf_iterator<char>());
    std::remove(path);
    const std::string after = "127.0.0.1 says: after\n127.0.0.1 says: Quit\n";
    EXPECT_EQ(text.size() > after.size() && text[0] == '\0',
              c.starts_with_zero_bytes);
    EXPECT_EQ(text.compare(text.size() - after.size(), after.size(), after), 0);
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

// Reads the account of numbered sentences of `dashes` dashes (any number,
// if 0) in `text`, and in `errors` after it. A sender line that is not the
// whole sentence is one a stop cut short: it is not shown, and only count
// lines may follow it.
account account_for(const std::string& text, const std::string& errors = "",
                    std::size_t dashes = 0) {
  account a;
  std::istringstream lines(text + "\n" + errors);
  long next = 0;        // the number the next line shows, if nothing is missing
  long told_since = 0;  // drops told since the last numbered line
  bool cut = false;     // a sender line was cut short
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
      // The sentence without its terminator.
      std::string shown =
          numbered(number, dashes != 0 ? dashes : line.size() - line.find('-'));
      shown.pop_back();
      // A longer sentence shows its first 1023 bytes.
      shown.resize(std::min<std::size_t>(shown.size(), 1023));
      a.whole = a.whole && !cut && number >= next;
      if (line.compare(says.size(), std::string::npos, shown) != 0) {
        cut = true;
        continue;
      }
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
               line + "\n" != timed_notice("output") &&
               line + "\n" != timed_notice("error") && !line.empty()) {
      ADD_FAILURE() << "unexpected line: " << line;
      a.whole = false;
    }
  }
  return a;
}

// Sends numbered sentences to `port` from a child of its own, as fast as it
// can, until it is stopped, for 60 s at most; counts what it sent.
class flooder {
 public:
  explicit flooder(std::uint16_t port) {
    void* memory = mmap(nullptr, sizeof(shared), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::runtime_error("cannot share memory");
    counts_ = new (memory) shared;
    pid_ = start_function([port, counts = counts_] {
      // It holds none of the test's descriptors, a terminal among them.
      close_range(STDERR_FILENO + 1, ~0U, 0);
      const udp_socket sender;
      const auto end = process_clock::now() + 60s;
      for (long i = 0; !counts->stop && process_clock::now() < end; ++i) {
        try {
          sender.send_to(port, numbered(i));
        } catch (const std::runtime_error&) {
          return 1;
        }
        counts->sent = i + 1;
      }
      return 0;
    });
  }
  ~flooder() {
    kill_child(pid_);
    munmap(counts_, sizeof(shared));
  }
  flooder(const flooder&) = delete;
  flooder& operator=(const flooder&) = delete;
  // Stops it and gives the sentences it sent.
  long stop() {
    counts_->stop = true;
    wait_for(pid_, process_clock::now() + 5s);
    pid_ = -1;
    return counts_->sent;
  }

 private:
  struct shared {
    std::atomic<bool> stop{false};
    std::atomic<long> sent{0};
  };
  pid_t pid_ = -1;
  shared* counts_ = nullptr;
};

// The peak and the present memory of process `pid`, in KiB, or -1.
long memory_kib(pid_t pid, const char* which) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const std::string field = std::string(which) + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, field.size(), field) == 0) {
      return std::atol(line.c_str() + field.size());
    }
  }
  return -1;
}

// Sends `count` numbered sentences of `dashes` to `port`, from number
// `first`, never letting the server's receive queue hold more than a third
// of the smallest a server gets, so that the system drops none while the
// server takes them; false if the server stops taking them for 10 s.
bool send_paced(const udp_socket& sender, std::uint16_t port, long first,
                long count, std::size_t dashes) {
  constexpr long most_queued = 128 << 10;
  constexpr long pace_every = 64;
  for (long i = first; i < first + count; ++i) {
    sender.send_to(port, numbered(i, dashes));
    if (i % pace_every != 0) continue;
    const auto deadline = process_clock::now() + 10s;
    while (state_of_udp_port(port).queued > most_queued) {
      if (process_clock::now() >= deadline) return false;
      usleep(200);
    }
  }
  return true;
}

// Sends numbered sentences of `dashes` to the stopped server's `port`, from
// number `first`, until the system drops one, 500 000 at most; gives how
// many it sent, or -1 if none was dropped.
long send_until_dropped(const udp_socket& sender, std::uint16_t port,
                        long first, std::size_t dashes) {
  const long before = state_of_udp_port(port).drops;
  for (long i = first; i < first + 500000; ++i) {
    sender.send_to(port, numbered(i, dashes));
    if (i % 16 == 0 && state_of_udp_port(port).drops > before) {
      return i + 1 - first;
    }
  }
  return -1;
}

// Waits until the system has dropped a datagram for the stopped server's
// `port` since `before`, for 10 s at most; tells whether it has.
bool await_drop(std::uint16_t port, long before) {
  const auto deadline = process_clock::now() + 10s;
  while (state_of_udp_port(port).drops == before) {
    if (process_clock::now() >= deadline) return false;
    usleep(1000);
  }
  return true;
}

// Numbered sentences to a server that cannot keep up for a while: the
// server's own queue holds what its output has not taken, the system drops
// what the receive queue cannot hold while the server is stopped, and the
// server drops what its full queue cannot; every loss is told exactly at its
// gap, while the server is busy too, and soon once traffic stops. A stop
// word that comes first leaves the rest counted, not shown. Each drop is
// made, not hoped for: the test sends until the system's count moves.
TEST(Server, ShowsOrTellsEveryDatagramAndPlacesEachDropLine) {
  enum class meanwhile {
    output_unread,     // nobody reads the output until the stop word
    output_read_late,  // read once every sentence is in the server's queue
    stopped,           // the server is stopped while the sentences come
    stop_word_first,   // stopped, and the stop word comes first
    stopped_in_turns,  // stopped and continued in turns
  };
  enum class traffic {
    paced,        // as fast as the server takes them
    until_drops,  // until the system drops one
    flood,        // from a child of its own, at full speed, while the
                  // server is stopped until the system drops one, and
                  // continued, in turns
    trickle,      // one a turn, the server stopped and continued in turns
    one_by_one,   // each once the server has taken the one before
  };
  enum class drops { none, system, queue };
  const struct {
    const char* name;
    meanwhile step;
    traffic sent;
    long count;          // numbered sentences, where the test decides
    std::size_t dashes;  // in each
    drops lost;          // the kind of drop that must be told
  } cases[] = {
      {"a burst into an output nobody reads: nothing lost, the server asleep "
       "after the stop word",
       meanwhile::output_unread, traffic::paced, 30000, 100, drops::none},
      {"a burst into an output read late: nothing lost, the memory given "
       "back",
       meanwhile::output_read_late, traffic::paced, 30000, 1000, drops::none},
      {"a stopped server: drops told soon", meanwhile::stopped,
       traffic::until_drops, 0, 1000, drops::system},
      {"the stop word first", meanwhile::stop_word_first, traffic::until_drops,
       0, 1000, drops::system},
      {"more than the server's queue holds, output unread",
       meanwhile::output_unread, traffic::paced, 80000, 1000, drops::queue},
      {"a flood, the server stopped in turns", meanwhile::stopped_in_turns,
       traffic::flood, 0, 100, drops::system},
      {"a trickle, the server stopped in turns: nothing lost",
       meanwhile::stopped_in_turns, traffic::trickle, 200, 100, drops::none},
      {"longer datagrams one by one, output unread: each kept, and its cut "
       "told",
       meanwhile::output_unread, traffic::one_by_one, 3000, 1100, drops::none},
  };
  constexpr int flood_turns = 5;
  const auto never = [](const std::string&, const std::string&) {
    return false;
  };
  // A row that cannot go on fails alone: an assertion ends its run only.
  const auto run = [&](const auto& c) {
    program server(server_path(), with(&stream_setup::errors_to_output));
    server.write_input("0\n");
    std::uint16_t port = 0;
    ASSERT_TRUE(server.wait_until([&](const std::string& out,
                                      const std::string&) {
      const std::size_t said = out.find("server: ");
      port = said == std::string::npos ? 0 : announced_port(out.substr(said));
      return port != 0 && out.back() == '\n';
    }));
    const long waiting = memory_kib(server.pid(), "VmRSS");
    const bool stopped =
        c.step == meanwhile::stopped || c.step == meanwhile::stop_word_first;
    if (stopped) server.send_signal(SIGSTOP);
    const udp_socket sender;
    long sent = 0;
    if (c.step == meanwhile::stop_word_first) {
      sender.send_to(port, sentence("Quit"));
      ++sent;
    }
    if (c.sent == traffic::paced) {
      ASSERT_TRUE(send_paced(sender, port, 0, c.count, c.dashes));
      sent += c.count;
    } else if (c.sent == traffic::until_drops) {
      const long burst = send_until_dropped(sender, port, 0, c.dashes);
      ASSERT_GT(burst, 0);
      sent += burst;
    } else if (c.sent == traffic::one_by_one) {
      for (long i = 0; i < c.count; ++i, ++sent) {
        sender.send_to(port, numbered(i, c.dashes));
        const auto deadline = process_clock::now() + 5s;
        while (state_of_udp_port(port).queued > 0 &&
               process_clock::now() < deadline) {
          usleep(100);
        }
      }
    } else if (c.sent == traffic::trickle) {
      for (long i = 0; i < c.count; ++i, ++sent) {
        sender.send_to(port, numbered(i, c.dashes));
        server.send_signal(i % 2 == 0 ? SIGSTOP : SIGCONT);
        server.wait_until(never, 5ms);
      }
      server.send_signal(SIGCONT);
    } else {
      flooder flood(port);
      for (int turn = 0; turn < flood_turns; ++turn) {
        const long drops = state_of_udp_port(port).drops;
        server.send_signal(SIGSTOP);
        const bool dropped = await_drop(port, drops);
        server.send_signal(SIGCONT);
        ASSERT_TRUE(dropped);
        server.wait_until(never, 20ms);
      }
      sent += flood.stop();
    }
    const long peak = memory_kib(server.pid(), "VmHWM");
    if (stopped) server.send_signal(SIGCONT);
    if (c.step == meanwhile::stopped) {
      // The drops came last: no datagram brings their count. A quiet server
      // tells them within a hundredth of a second; a loaded machine may take
      // longer.
      EXPECT_TRUE(server.wait_until(
          [](const std::string& out, const std::string&) {
            return out.find(" dropped: ") != std::string::npos;
          },
          1s));
    }
    if (c.step == meanwhile::output_read_late) {
      // Once the output has taken every line, the server gives back the
      // memory that held them.
      const std::string last = "says: " + numbered(c.count - 1, c.dashes);
      ASSERT_TRUE(server.wait_until(
          [&](const std::string& out, const std::string&) {
            return out.size() > last.size() &&
                   out.compare(out.size() - last.size(), last.size() - 1, last,
                               0, last.size() - 1) == 0;
          },
          30s));
      // The queue keeps a few blocks for what comes besides the one in use:
      // the server holds some 5 MiB more than while it waited (a build with
      // sanitizers 9), against a peak of over 30.
      constexpr long kept_kib = 12 << 10;
      EXPECT_GT(peak, 30 << 10);
      EXPECT_LT(memory_kib(server.pid(), "VmRSS") - waiting, kept_kib)
          << "held while waiting: " << waiting << " KiB";
    }
    if (c.step == meanwhile::output_unread) {
      // Room is kept for the stop word's line, however full the queue.
      sender.send_to(port, sentence("Quit"));
      ++sent;
      // Its output blocked, a server that took the stop word waits for the
      // output, and only for it.
      EXPECT_TRUE(stays_asleep(server.pid(), 300ms, 3s));
    } else if (c.step != meanwhile::stop_word_first) {
      // A stop word that the system dropped goes again.
      int tries = 0;
      do {
        sender.send_to(port, sentence("Quit"));
        ++sent;
      } while (!server.wait_until(
                   [](const std::string& out, const std::string&) {
                     return out.find("says: Quit\n") != std::string::npos;
                   },
                   1s) &&
               ++tries < 50);
    }
    const outcome result = server.finish("", 30s);
    const account a = account_for(result.out, "", c.dashes);
    EXPECT_TRUE(a.quit);
    EXPECT_TRUE(a.whole);
    EXPECT_TRUE(a.in_place);
    EXPECT_EQ(a.shown + 1 + a.dropped + a.queue_dropped + a.not_shown, sent);
    EXPECT_EQ(a.dropped > 0, c.lost == drops::system);
    EXPECT_EQ(a.queue_dropped > 0, c.lost == drops::queue);
    if (c.lost == drops::queue) {
      // The queue's lines, and what the server needs besides.
      EXPECT_LT(peak, 80 << 10);
    }
    if (c.step == meanwhile::stop_word_first) {
      EXPECT_EQ(a.shown, 0);
    }
    if (c.sent == traffic::one_by_one) {
      EXPECT_EQ(a.cut, c.count);
    }
    EXPECT_EQ(result.status, 0);
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    run(c);
  }
}

// Tells whether signal `signal` is pending for process `pid`, held back or
// not yet handled.
bool signal_pending(pid_t pid, int signal) {
  if (signal < 1 || signal > 64) return false;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const unsigned long bit = 1UL << (signal - 1);
  for (std::string line; std::getline(status, line);) {
    if ((line.compare(0, 7, "SigPnd:") == 0 ||
         line.compare(0, 7, "ShdPnd:") == 0) &&
        (std::stoul(line.substr(7), nullptr, 16) & bit) != 0) {
      return true;
    }
  }
  return false;
}

// Waits until process `pid` has taken `signal`, or has gone, for 5 s at
// most.
void await_taken(pid_t pid, int signal) {
  const auto deadline = process_clock::now() + 5s;
  while (signal_pending(pid, signal) && process_clock::now() < deadline) {
    usleep(200);
  }
}

// The number of the system call that process `pid` is in, or -1.
long syscall_of(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
  long number = -1;
  file >> number;
  return number;
}

// Tells whether process `pid` is stopped, waiting 5 s at most for it to be.
bool await_stopped(pid_t pid) {
  const auto deadline = process_clock::now() + 5s;
  for (;;) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t name_end = text.rfind(')');
    if (name_end != std::string::npos && name_end + 2 < text.size() &&
        text[name_end + 2] == 'T') {
      return true;
    }
    if (process_clock::now() >= deadline) return false;
    usleep(1000);
  }
}

// A stop signal ends the server by that signal at once, whatever it is doing
// and however blocked its output; what it took and could not show is counted.
TEST(Server, EndsByAStopSignalInEveryState) {
  enum class traffic {
    none,
    burst,
    big_burst,   // 30 MB, paced
    full_queue,  // 80 MB, paced: more than the server's queue holds
    flood,
    long_datagram
  };
  enum class before {
    nothing,
    pause_output,
    hang_up,
    room_made_while_stopped,  // the output emptied while the server is
                              // stopped, the signal sent before it goes on
    stalled_then_paced,       // 20 000 more, paced, once the output stalls
    traced,                   // its writes traced from here on
    before_the_port,          // the signal sent before the port is read
    in_a_timed_write,         // the signal sent while the server is caught
                              // in a write its timer cuts short, and the
                              // output read no more
    output_hung_up,           // its writes of lines fail as a hung-up
                              // terminal's, the signal already held back
  };
  enum class output {
    read,
    unread,
    page_read,    // unread, but for one page, taken just before the signal
    little_read,  // unread, but for 1000 bytes
    slow_read,    // unread until the signal, then read slowly
  };
  // A second signal, and when it comes.
  enum class second { none, together_while_stopped, once_first_taken };
  const stream_setup plain;
  const stream_setup terminal = with(&stream_setup::output_terminal);
  const stream_setup errors_full = with(&stream_setup::errors_full);
  const stream_setup socket = with(&stream_setup::output_socket);
  const stream_setup other_user = with(&stream_setup::other_user);
  stream_setup other_terminal = terminal;
  other_terminal.other_user = true;
  const stream_setup errors_to_output = with(&stream_setup::errors_to_output);
  stream_setup hangup_ignored;
  hangup_ignored.ignored_signal = SIGHUP;
  stream_setup term_held;
  term_held.blocked_signal = SIGTERM;
  stream_setup int_held;
  int_held.blocked_signal = SIGINT;
  const std::string preload = std::string("LD_PRELOAD=") + FAULT_SHIM_PATH;
  const char* const hanging_up_environment[] = {
      preload.c_str(), "SENTENCES_SHIM=hangup", nullptr};
  stream_setup hanging_up;
  hanging_up.environment = hanging_up_environment;
  const struct {
    const char* name;
    stream_setup setup;
    traffic sent;
    before step;
    output reading;
    int signal;  // sent by the test; 0 when the step brings it
    int ends_by;
    second then = second::none;
    int second_signal = 0;
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
      {"output a socket nobody reads", socket, traffic::big_burst,
       before::nothing, output::unread, SIGTERM, SIGTERM},
      {"output a full pipe that the server cannot open anew", other_user,
       traffic::burst, before::nothing, output::unread, SIGINT, SIGINT},
      {"output a pipe that the server cannot open anew, read a page",
       other_user, traffic::burst, before::nothing, output::page_read, SIGTERM,
       SIGTERM},
      {"output a paused terminal", terminal, traffic::burst,
       before::pause_output, output::unread, SIGINT, SIGINT},
      {"errors a full pipe", errors_full, traffic::long_datagram,
       before::nothing, output::unread, SIGHUP, SIGHUP},
      {"terminal hung up during traffic", terminal, traffic::flood,
       before::hang_up, output::read, 0, SIGHUP},
      {"output failing as a terminal's does once hung up, the hangup "
       "signal held back",
       hanging_up, traffic::burst, before::output_hung_up, output::read, 0,
       SIGHUP},
      {"hangup ignored from the start", hangup_ignored, traffic::burst,
       before::nothing, output::read, SIGHUP, 0},
      {"termination held back by the parent", term_held, traffic::none,
       before::nothing, output::read, SIGTERM, SIGTERM},
      {"termination held back by the parent, sent before the port", term_held,
       traffic::none, before::before_the_port, output::read, SIGTERM, SIGTERM},
      {"interrupt held back by the parent, after a burst", int_held,
       traffic::burst, before::nothing, output::read, SIGINT, SIGINT},
      {"room made while stopped: the lines go out in the grace", plain,
       traffic::big_burst, before::room_made_while_stopped, output::unread,
       SIGTERM, SIGTERM},
      {"an interrupt and a termination together: the first taken ends it",
       plain, traffic::burst, before::nothing, output::unread, SIGTERM, SIGINT,
       second::together_while_stopped, SIGINT},
      {"a termination, then an interrupt while it ends: the first ends it",
       plain, traffic::big_burst, before::nothing, output::unread, SIGTERM,
       SIGTERM, second::once_first_taken, SIGINT},
      {"a terminal it cannot open anew, stalled with a little room",
       other_terminal, traffic::burst, before::nothing, output::little_read,
       SIGTERM, SIGTERM},
      {"a terminal it cannot open anew, stalled: it goes on taking",
       other_terminal, traffic::burst, before::stalled_then_paced,
       output::little_read, SIGINT, SIGINT},
      {"output and errors one pipe, read slowly: whole lines", errors_to_output,
       traffic::big_burst, before::nothing, output::slow_read, SIGTERM,
       SIGTERM},
      {"output read slowly: its last line whole", plain, traffic::big_burst,
       before::nothing, output::slow_read, SIGTERM, SIGTERM},
      {"output a full pipe, the server's queue full", plain,
       traffic::full_queue, before::nothing, output::unread, SIGTERM, SIGTERM},
      {"output a full pipe, its writes traced: no write without a wait", plain,
       traffic::burst, before::traced, output::unread, SIGHUP, SIGHUP},
      {"user signal 1", plain, traffic::burst, before::nothing, output::unread,
       SIGUSR1, SIGUSR1},
      {"user signal 2", plain, traffic::burst, before::nothing, output::unread,
       SIGUSR2, SIGUSR2},
      {"an alarm", plain, traffic::burst, before::nothing, output::unread,
       SIGALRM, SIGALRM},
      {"a virtual alarm", plain, traffic::burst, before::nothing,
       output::unread, SIGVTALRM, SIGVTALRM},
      {"a profiling alarm", plain, traffic::burst, before::nothing,
       output::unread, SIGPROF, SIGPROF},
      {"input or output possible", plain, traffic::burst, before::nothing,
       output::unread, SIGIO, SIGIO},
      {"power failure", plain, traffic::burst, before::nothing, output::unread,
       SIGPWR, SIGPWR},
      {"a stack fault", plain, traffic::burst, before::nothing, output::unread,
       SIGSTKFLT, SIGSTKFLT},
      {"the write timer's signal, from another process", plain, traffic::burst,
       before::nothing, output::unread, SIGRTMIN, SIGRTMIN},
      {"the write timer's signal, from another process, during a timed write",
       other_terminal, traffic::big_burst, before::in_a_timed_write,
       output::unread, SIGRTMIN, SIGRTMIN},
      {"a real-time signal", plain, traffic::burst, before::nothing,
       output::unread, SIGRTMIN + 5, SIGRTMIN + 5},
      {"the last real-time signal", plain, traffic::burst, before::nothing,
       output::unread, SIGRTMAX, SIGRTMAX},
  };
  const bool can_trace = strace_found();
  // A row that cannot go on fails alone: an assertion ends its run only.
  const auto run = [&](const auto& c) {
    if (c.setup.other_user && geteuid() != 0) {
      std::printf("[ SKIPPED  ] %s: running as another user needs root\n",
                  c.name);
      return;
    }
    if (c.step == before::output_hung_up && programs_sanitized) {
      std::printf(
          "[ SKIPPED  ] %s: a preloaded library cannot come before "
          "the sanitizers' own\n",
          c.name);
      return;
    }
    if (c.step == before::traced && !can_trace) {
      std::printf("[ SKIPPED  ] %s: strace is not installed\n", c.name);
      return;
    }
    program server(server_path(), c.setup);
    if (c.step == before::before_the_port) {
      // Until the port is read, a stop signal ends the server at once.
      ASSERT_TRUE(server.wait_for_output(prompt));
      server.send_signal(c.signal);
      EXPECT_TRUE(server.ends_within(1s));
      EXPECT_EQ(server.finish().signal, c.ends_by);
      return;
    }
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
    } else if (c.sent == traffic::big_burst || c.sent == traffic::full_queue) {
      sent = c.sent == traffic::big_burst ? 30000 : 80000;
      ASSERT_TRUE(send_paced(sender, port, 0, sent, 1000));
    } else if (c.sent == traffic::long_datagram) {
      sender.send_to(port, std::string(2000, 'z'));
    } else if (c.sent == traffic::flood) {
      flood = std::make_unique<flooder>(port);
    }
    // The server has taken what came, and waits, or is blocked or busy.
    if (c.reading == output::read) {
      server.wait_until(
          [](const std::string&, const std::string&) { return false; }, 300ms);
    } else {
      usleep(300000);
    }
    if (c.reading == output::page_read || c.reading == output::little_read) {
      // The server has room now, but less than its lines need.
      ASSERT_TRUE(
          server.read_output(c.reading == output::page_read ? 4096 : 1000));
      usleep(100000);
    }
    if (c.step == before::stalled_then_paced) {
      ASSERT_TRUE(send_paced(sender, port, sent, 20000, 100));
      sent += 20000;
    }
    std::unique_ptr<tracer> trace;
    if (c.step == before::traced) {
      trace = std::make_unique<tracer>(server.pid(), "write,sendto");
      ASSERT_TRUE(trace->attached());
    }
    std::size_t shown_before = 0;
    if (c.step == before::hang_up) server.hang_up();
    if (c.step == before::room_made_while_stopped ||
        c.then == second::together_while_stopped) {
      server.send_signal(SIGSTOP);
      ASSERT_TRUE(await_stopped(server.pid()));
    }
    if (c.step == before::room_made_while_stopped) {
      server.wait_until(
          [&](const std::string& out, const std::string&) {
            shown_before = out.size();
            return false;
          },
          200ms);
    }
    if (c.step == before::in_a_timed_write) {
      // The output read a little at a time keeps the server in its timed
      // writes; caught stopped in one, it gets the signal, and the output
      // is read no more: only the signal can end its waits.
      bool in_a_write = false;
      for (int tries = 0; tries < 1000 && !in_a_write; ++tries) {
        server.read_output(1000, 100ms);
        server.send_signal(SIGSTOP);
        ASSERT_TRUE(await_stopped(server.pid()));
        in_a_write = syscall_of(server.pid()) == SYS_write;
        if (!in_a_write) server.send_signal(SIGCONT);
      }
      ASSERT_TRUE(in_a_write);
      // Paused, the terminal gives the server's waits no room either.
      server.pause_output();
      usleep(100000);
    }
    if (c.signal != 0) server.send_signal(c.signal);
    if (c.step == before::in_a_timed_write) server.send_signal(SIGCONT);
    if (c.then == second::together_while_stopped) {
      server.send_signal(c.second_signal);
    } else if (c.then == second::once_first_taken) {
      await_taken(server.pid(), c.signal);
      server.send_signal(c.second_signal);
    }
    if (c.step == before::room_made_while_stopped ||
        c.then == second::together_while_stopped) {
      server.send_signal(SIGCONT);
    }
    // Lines the server took still go out if the output takes them at once.
    if (c.step == before::pause_output) server.resume_output();
    if (c.reading == output::slow_read) {
      // 4 KiB a millisecond, until nothing more comes.
      while (server.read_output(4096, 50ms)) usleep(1000);
    }
    if (c.ends_by != 0) {
      // Within a tenth of a second, and room for a loaded machine.
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
    if (c.step == before::hang_up || c.step == before::output_hung_up) return;
    const bool long_lines =
        c.sent == traffic::big_burst || c.sent == traffic::full_queue;
    const account a =
        account_for(result.out, result.err, long_lines ? 1000 : 100);
    if (c.sent != traffic::long_datagram) {
      EXPECT_TRUE(a.whole);
    }
    if (c.step == before::room_made_while_stopped) {
      // The lines fill the room the pipe had: more than a line begun.
      EXPECT_GE(result.out.size(), shown_before + 4096);
    }
    if (c.reading == output::slow_read && !c.setup.errors_to_output) {
      // An output that goes on taking gets the rest of the line begun.
      EXPECT_EQ(result.out.back(), '\n');
    }
    if (trace) {
      // After the signal, a write that took nothing is tried again only
      // once a wait finds room.
      EXPECT_LE(trace->failed_writes_after_signal(), 3) << trace->log();
    }
    if (c.sent == traffic::burst || c.sent == traffic::big_burst ||
        c.sent == traffic::full_queue) {
      EXPECT_EQ(a.shown + a.dropped + a.queue_dropped + a.not_shown +
                    (a.quit ? 1 : 0),
                sent);
      // A paused terminal shows lines only if it goes on within the grace.
      if (c.step != before::pause_output) {
        EXPECT_GT(a.shown, 0);
      }
      // An unread output leaves lines in the server's queue, unless a
      // machine busy with other tests had the system drop them first.
      EXPECT_GT(c.reading == output::read ? 1 : a.not_shown + a.dropped, 0)
          << result.err;
    }
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    run(c);
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
