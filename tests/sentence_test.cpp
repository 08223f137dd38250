#include "common/sentence.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(ParsePort, ReadsTheLeadingNumberAndKeepsItsLow16Bits) {
  // Whether the text is a port written plainly: digits alone.
  enum class plain { no, yes };
  const struct {
    const char* text;
    std::uint16_t port;
    plain written;
  } cases[] = {
      {"8080", 8080, plain::yes},
      {"8080abc", 8080, plain::no},
      {"5OOO", 5, plain::no},
      {"abc", 0, plain::no},
      {"", 0, plain::no},
      {"70000", 4464, plain::yes},
      {"-1", 65535, plain::no},
      {"  42", 42, plain::no},
      {"\t\n42", 42, plain::no},
      {"+7", 7, plain::no},
      {"65535", 65535, plain::yes},
      {"65536", 0, plain::yes},
      {"0", 0, plain::yes},
      {"- 5", 0, plain::no},
      {"12 34", 12, plain::no},
      {"-65536", 0, plain::no},
      {"2147483647", 65535, plain::yes},
      {"-2147483648", 0, plain::no},
      // Beyond int: still the low 16 bits of the number written.
      {"4294967296", 0, plain::yes},
      {"4295032833", 1, plain::yes},
      {"99999999999999999999", 65535, plain::yes},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_port(c.text), htons(c.port)) << '"' << c.text << '"';
    EXPECT_EQ(is_port_number(c.text, std::strlen(c.text)),
              c.written == plain::yes)
        << '"' << c.text << '"';
  }
}

TEST(IsStopSentence, EndsOnlyOnTheStopWord) {
  const struct {
    const char* sentence;
    bool stops;
  } cases[] = {
      {"Quit", true},      {"Quit\r", true},    {"", false},
      {"k", false},        {"Q", false},        {"Qu", false},
      {"Qu?", false},      {"Qui", false},      {"Quix", false},
      {"Quitx", false},    {"Quit!", false},    {"quit", false},
      {"QUIT", false},     {"Quit now", false}, {" Quit", false},
      {"Quit\r\r", false}, {"Quit\rx", false},  {"Quit\n", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_stop_sentence(c.sentence), c.stops)
        << '"' << c.sentence << '"';
  }
}

// Cuts a typed line into the sentences the client sends and gives their
// lengths, checking that the pieces are whole, in order and never the stop
// word.
std::vector<std::size_t> piece_lengths(const std::string& line) {
  std::vector<std::size_t> lengths;
  std::string joined;
  for (std::size_t at = 0; at < line.size() || lengths.empty();) {
    const std::size_t length =
        next_piece_length(line.data() + at, line.size() - at);
    const std::string piece = line.substr(at, length);
    EXPECT_LE(length, longest_sentence);
    EXPECT_TRUE(length > 0 || line.empty());
    EXPECT_TRUE(piece.size() == line.size() || !is_stop_sentence(piece.c_str()))
        << piece;
    joined += piece;
    lengths.push_back(length);
    at += length;
  }
  EXPECT_EQ(joined, line);
  return lengths;
}

TEST(NextPieceLength, CutsLongLinesBetweenCharactersAndNeverBeforeAStop) {
  const std::string a(1100, 'a');
  const auto as = [&](std::size_t n) { return a.substr(0, n); };
  const std::string e_acute = "\xc3\xa9";
  const std::string euro = "\xe2\x82\xac";
  const std::string smile = "\xf0\x9f\x98\x80";
  const struct {
    const char* name;
    std::string line;
    std::vector<std::size_t> pieces;
  } cases[] = {
      {"empty line", "", {0}},
      {"stop word alone", "Quit", {4}},
      {"longest sentence", as(1022), {1022}},
      {"one byte over", as(1023), {1022, 1}},
      {"three pieces", as(1022) + as(1022) + "b", {1022, 1022, 1}},
      {"two-byte character across the cut",
       as(1021) + e_acute + "b",
       {1021, 3}},
      {"three-byte character across the cut", as(1020) + euro + "b", {1020, 4}},
      {"four-byte character across the cut", as(1019) + smile + "b", {1019, 5}},
      {"character just after the cut", as(1022) + e_acute, {1022, 2}},
      {"character ending at the cut", as(1020) + e_acute + "b", {1022, 1}},
      {"stray continuation bytes",
       as(1019) + "\x80\x80\x80\x80"
                  "b",
       {1022, 2}},
      {"lead byte too far back",
       as(1018) + "\xc3\xa9\xa9\xa9\xa9"
                  "b",
       {1022, 2}},
      {"stop word after the cut", as(1022) + "Quit", {1021, 5}},
      {"stop word and CR after the cut", as(1022) + "Quit\r", {1021, 6}},
      {"stop word after a character", as(1020) + e_acute + "Quit", {1020, 6}},
      {"stop word after a cut character",
       as(1021) + e_acute + "Quit",
       {1021, 6}},
      {"stop word as a third piece",
       as(1022) + as(1022) + "Quit",
       {1022, 1021, 5}},
      {"longer than the stop word", as(1022) + "Quits", {1022, 5}},
      {"shorter than the stop word", as(1022) + "Qui", {1022, 3}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(piece_lengths(c.line), c.pieces) << c.name;
  }
}

}  // namespace
