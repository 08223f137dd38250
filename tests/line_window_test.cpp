#include "common/line_window.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

console named_console() {
  console c;
  c.program = "test";
  return c;
}

// A console whose input arrives in pieces of `piece` bytes, each read on its
// own, and then ends.
class fed_console {
 public:
  fed_console(const std::string& input, std::size_t piece) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
      throw std::runtime_error("socketpair");
    }
    c.in = ends[0];
    writer_ = std::thread([input, piece, end = ends[1]] {
      for (std::size_t at = 0; at < input.size(); at += piece) {
        const std::size_t length = std::min(piece, input.size() - at);
        if (send(end, input.data() + at, length, 0) < 0) break;
      }
      close(end);
    });
  }
  ~fed_console() {
    close(c.in);
    writer_.join();
  }
  fed_console(const fed_console&) = delete;
  fed_console& operator=(const fed_console&) = delete;

  console c = named_console();

 private:
  std::thread writer_;
};

// Each input is read whole, and again in pieces small enough to split its
// lines, so that a line's parts from several reads join up.
constexpr std::size_t piece_sizes[] = {1 << 20, 7};

using read = std::pair<line_status, std::string>;

TEST(ReadLine, ReadsBoundedLinesAndTellsHowEachEnded) {
  const struct {
    const char* name;
    std::string input;
    std::size_t size;
    std::vector<read> reads;  // until the first that gives no text
  } cases[] = {
      {"empty input", "", 5, {{line_status::none, ""}}},
      {"lines and an empty one",
       "ab\n\ncd\n",
       5,
       {{line_status::whole, "ab"},
        {line_status::whole, ""},
        {line_status::whole, "cd"},
        {line_status::none, ""}}},
      {"exact fit",
       "abcd\n",
       5,
       {{line_status::whole, "abcd"}, {line_status::none, ""}}},
      {"one byte over",
       "abcde\nf\n",
       5,
       {{line_status::too_long, "abcd"},
        {line_status::whole, "e"},
        {line_status::whole, "f"},
        {line_status::none, ""}}},
      {"last line without a line end",
       "ab\ncd",
       5,
       {{line_status::whole, "ab"},
        {line_status::whole, "cd"},
        {line_status::none, ""}}},
      {"CR LF kept",
       "ab\r\n",
       5,
       {{line_status::whole, "ab\r"}, {line_status::none, ""}}},
  };
  for (const auto& c : cases) {
    for (const std::size_t piece : piece_sizes) {
      SCOPED_TRACE(c.name + std::string(", pieces of ") +
                   std::to_string(piece));
      fed_console in(c.input, piece);
      std::vector<read> reads;
      do {
        std::string text(c.size, '\x7f');
        const line_status status = read_line(in.c, text.data(), c.size);
        reads.emplace_back(status, text.substr(0, text.find('\0')));
      } while (reads.back().first != line_status::none && reads.size() < 10);
      EXPECT_EQ(reads, c.reads);
    }
  }
}

TEST(ReadWord, TakesTheFirstWordOfTheFirstLineThatHasOne) {
  const struct {
    std::string input;
    line_status status;
    std::string word;
  } cases[] = {
      {"5000\n", line_status::whole, "5000"},
      {"\n  \t\n  42 more words\n", line_status::whole, "42"},
      {"7\r\n", line_status::whole, "7"},
      {"  \n", line_status::none, ""},
      {std::string(40, ' ') + "9", line_status::whole, "9"},
      {std::string("12\0"
                   "34 5",
                   7),
       line_status::whole,
       std::string("12\0"
                   "34",
                   5)},
      {"\x1b[1m80\n", line_status::whole, "\x1b[1m80"},
  };
  for (const auto& c : cases) {
    for (const std::size_t piece : piece_sizes) {
      fed_console in(c.input, piece);
      char word[16] = {};
      std::size_t length = 0;
      EXPECT_EQ(read_word(in.c, word, sizeof word, length), c.status)
          << c.input;
      EXPECT_EQ(std::string(word, length), c.word)
          << c.input << ", pieces of " << piece;
    }
  }
}

TEST(NextSentence, SendsLinesUpToAZeroByteAndLongLinesInPieces) {
  const std::string a(5000, 'a');
  const struct {
    const char* name;
    std::string input;
    std::vector<std::string> sentences;
  } cases[] = {
      {"lines, an empty one, a last without a line end",
       "one\n\nlast",
       {"one", "", "last"}},
      {"zero byte ends the sentence",
       std::string("ab\0cd\nef\n", 9),
       {"ab", "ef"}},
      {"line longer than the window",
       a + "\nb\n",
       {a.substr(0, 1022), a.substr(0, 1022), a.substr(0, 1022),
        a.substr(0, 1022), a.substr(0, 912), "b"}},
      {"zero byte in a later piece",
       a.substr(0, 1025) + std::string(1, '\0') + "dropped\nb\n",
       {a.substr(0, 1022), "aaa", "b"}},
      {"zero byte, then more than the window",
       "ab" + std::string(1, '\0') + a + "\nb\n",
       {"ab", "b"}},
      {"stop word after a cut",
       a.substr(0, 1022) + "Quit\nb\n",
       {a.substr(0, 1021), "aQuit", "b"}},
      {"stop word after a second cut, read ahead of the window",
       a.substr(0, 2044) + "Quit\nb\n",
       {a.substr(0, 1022), a.substr(0, 1021), "aQuit", "b"}},
      {"stop word and CR after a cut",
       a.substr(0, 1022) + "Quit\r\nb\n",
       {a.substr(0, 1021), "aQuit\r", "b"}},
      {"stop word alone stays one", "Quit\n", {"Quit"}},
  };
  for (const auto& c : cases) {
    for (const std::size_t piece : piece_sizes) {
      SCOPED_TRACE(c.name + std::string(", pieces of ") +
                   std::to_string(piece));
      fed_console in(c.input, piece);
      line_reader reader;
      char sentence[message_buffer_size];
      std::vector<std::string> sentences;
      while (sentences.size() < 20 &&
             next_sentence(in.c, reader, sentence) == line_status::whole) {
        sentences.emplace_back(sentence);
      }
      EXPECT_EQ(sentences, c.sentences);
    }
  }
}

}  // namespace
