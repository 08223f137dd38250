#include "bench/traffic.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "support/told.h"

namespace {

std::string line(char tag, int index, int length = 12) {
  return "127.0.0.1 says: " + line_text(tag, index, length) + "\n";
}

// The benchmark's "lost" and "malformed" figures come from this check.
TEST(CheckOutput, CountsWholeLinesInOrderPerSender) {
  // The prompt, its line ended once the port is read.
  const std::string prompt = std::string(server_prompt) + "\n";
  const std::string quit = "127.0.0.1 says: Quit\n";
  const struct {
    const char* name;
    std::string text;
    long lines;
    long malformed;
    bool quit;
  } cases[] = {
      {"lines then the stop word", prompt + line('A', 0) + line('A', 1) + quit,
       2, 0, true},
      {"no prompt", line('A', 0), 0, 1, false},
      {"senders interleaved",
       prompt + line('A', 0) + line('B', 0) + line('A', 1) + line('B', 1), 4, 0,
       false},
      {"a gap is a loss, not a fault", prompt + line('A', 0) + line('A', 2), 2,
       0, false},
      {"out of order", prompt + line('A', 1) + line('A', 0), 1, 1, false},
      {"shown twice", prompt + line('A', 0) + line('A', 0), 1, 1, false},
      {"cut short", prompt + line('A', 0).substr(0, 20) + "\n", 0, 1, false},
      {"last line without its end",
       prompt + line('A', 0) + line('A', 1).substr(0, 28), 1, 1, false},
      {"unknown sender", prompt + line('C', 0), 0, 1, false},
      {"another address",
       prompt + "127.0.0.2 says: " + line_text('A', 0, 12) + "\n", 0, 1, false},
      {"wrong filler", prompt + "127.0.0.1 says: A0000000zzzz\n", 0, 1, false},
  };
  for (const auto& c : cases) {
    std::istringstream text(c.text);
    const shown s = check_output(text, 2, 12);
    EXPECT_EQ(s.lines, c.lines) << c.name;
    EXPECT_EQ(s.malformed, c.malformed) << c.name;
    EXPECT_EQ(s.quit, c.quit) << c.name;
  }
}

// A line's filler runs on through the alphabet from where its number puts
// it, so a line that lost or gained bytes never reads as another.
TEST(LineText, RunsTheFillerThroughTheAlphabet) {
  const struct {
    char tag;
    int index;
    int length;
    const char* text;
  } cases[] = {
      {'A', 0, 12, "A0000000ijkl"},
      {'B', 25, 10, "B0000025hi"},
      {'A', 7, 5, "A0000"},
      {'A', 0, 40, "A0000000ijklmnopqrstuvwxyzabcdefghijklmn"},
      {'C', 1234567, 8, "C1234567"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(line_text(c.tag, c.index, c.length), c.text) << c.text;
  }
}

// The tests and the benchmark read the programs' counts with this.
TEST(ToldCount, ReadsTheCountOfALineThatTellsOne) {
  const std::string refused =
      "refused by 127.0.0.1 port 5000: Connection refused";
  const struct {
    std::string line;
    const char* program;
    const char* noun;
    std::string what;
    long count;
  } cases[] = {
      {"server: 5 datagrams dropped: receive queue full", "server", "datagram",
       "dropped: receive queue full", 5},
      {"server: 1 datagram dropped: receive queue full", "server", "datagram",
       "dropped: receive queue full", 1},
      {"server: 1 datagrams dropped: receive queue full", "server", "datagram",
       "dropped: receive queue full", -1},
      {"server: 2 datagram dropped: receive queue full", "server", "datagram",
       "dropped: receive queue full", -1},
      {"server: 7 datagrams dropped: something else", "server", "datagram",
       "dropped: receive queue full", -1},
      {"server: listening on port 5000", "server", "datagram",
       "dropped: receive queue full", -1},
      {"client: 3 sentences " + refused, "client", "sentence", refused, 3},
      {"client: 3 sentences " + refused, "server", "sentence", refused, -1},
      {"client: x sentences " + refused, "client", "sentence", refused, -1},
      {"", "client", "sentence", refused, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(told_count(c.line, c.program, c.noun, c.what), c.count) << c.line;
  }
  EXPECT_EQ(told_sum("server: listening on port 5000\n"
                     "server: 5 datagrams dropped: receive queue full\n"
                     "server: 1 datagram dropped: receive queue full\n"
                     "server: 2 datagrams dropped: output queue full\n",
                     "server", "datagram", "dropped: receive queue full"),
            6);
}

}  // namespace
