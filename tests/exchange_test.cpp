#include "common/exchange.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(ParsePort, ReadsTheLeadingNumberAndKeepsItsLow16Bits) {
  const struct {
    const char* text;
    std::uint16_t port;
  } cases[] = {
      {"8080", 8080},
      {"8080abc", 8080},
      {"abc", 0},
      {"", 0},
      {"70000", 4464},
      {"-1", 65535},
      {"  42", 42},
      {"\t\n42", 42},
      {"+7", 7},
      {"65535", 65535},
      {"65536", 0},
      {"0", 0},
      {"- 5", 0},
      {"12 34", 12},
      {"-65536", 0},
      {"2147483647", 65535},
      {"-2147483648", 0},
      // Beyond int: still the low 16 bits of the number written.
      {"4294967296", 0},
      {"4295032833", 1},
      {"99999999999999999999", 65535},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_port(c.text), htons(c.port)) << '"' << c.text << '"';
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

// Receives `payload` over a buffer full of stale bytes and formats its line.
std::string shown_line(const std::string& payload) {
  char buffer[message_buffer_size];
  std::memset(buffer, 'S', sizeof buffer);
  const std::size_t received = std::min(payload.size(), sizeof buffer);
  std::copy_n(payload.begin(), received, buffer);
  const std::size_t length = bound_sentence(buffer, received);
  EXPECT_EQ(buffer[length], '\0');
  EXPECT_LE(length, max_shown_length);
  char line[sender_line_size];
  return std::string(line,
                     format_sender_line("10.1.2.3", buffer, length, line));
}

TEST(SenderLine, BoundsAndEscapesTheReceivedText) {
  const std::string longest(max_shown_length, 'a');
  const struct {
    std::string payload;
    std::string line;
  } cases[] = {
      {std::string("hello\0", 6), "10.1.2.3 says: hello\n"},
      {std::string(1, '\0'), "10.1.2.3 says: \n"},
      {"", "10.1.2.3 says: \n"},
      {"no zero", "10.1.2.3 says: no zero\n"},
      {std::string("cut\0here", 8), "10.1.2.3 says: cut\n"},
      {"a\x1b[2Jb", "10.1.2.3 says: a\\x1b[2Jb\n"},
      {"x\n10.0.0.1 says: pay me",
       "10.1.2.3 says: x\\x0a10.0.0.1 says: pay me\n"},
      {"over\rwrite", "10.1.2.3 says: over\\x0dwrite\n"},
      {"tab\there \x7f \x01 \x1f",
       "10.1.2.3 says: tab\there \\x7f \\x01 \\x1f\n"},
      {"caf\xc3\xa9 \xff\x80 ~", "10.1.2.3 says: caf\xc3\xa9 \xff\x80 ~\n"},
      {"\xc2\x9b"
       "2J \xc2\x80\xc2\x85 end",
       "10.1.2.3 says: \\xc2\\x9b2J \\xc2\\x80\\xc2\\x85 end\n"},
      {"1234567\xc2\x9f across a group",
       "10.1.2.3 says: 1234567\\xc2\\x9f across a group\n"},
      {"\xc2\xa0 \xc2\xc2\x90 \xc3\x9b \xc2\x7f \xc2",
       "10.1.2.3 says: \xc2\xa0 \xc2\\xc2\\x90 \xc3\x9b \xc2\\x7f \xc2\n"},
      {longest.substr(1) + "\xc2\x9b",
       "10.1.2.3 says: " + longest.substr(1) + "\xc2\n"},
      {longest + '\0', "10.1.2.3 says: " + longest + "\n"},
      {longest, "10.1.2.3 says: " + longest + "\n"},
      {longest + "bc", "10.1.2.3 says: " + longest + "\n"},
      {std::string(2000, 'z'),
       "10.1.2.3 says: " + std::string(max_shown_length, 'z') + "\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(shown_line(c.payload), c.line) << c.payload.size() << " bytes";
  }
}

// Every byte value, and every two-byte UTF-8 character, at every place in
// and around an eight-byte group, is escaped exactly when it is a control
// other than tab.
TEST(SenderLine, EscapesEachControlWhereverItStands) {
  std::vector<std::string> characters;
  for (int byte = 1; byte < 256; ++byte) characters.emplace_back(1, char(byte));
  for (int second = 0x80; second < 0xc0; ++second) {
    characters.push_back({'\xc2', char(second)});
  }
  for (const std::string& character : characters) {
    const auto first = static_cast<unsigned char>(character[0]);
    const bool unsafe = (first < 0x20 && first != '\t') || first == 0x7f ||
                        (character.size() == 2 &&
                         static_cast<unsigned char>(character[1]) < 0xa0);
    std::string shown = character;
    if (unsafe) {
      shown.clear();
      for (const char byte : character) {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02x", byte & 0xff);
        shown += hex;
      }
    }
    for (std::size_t at = 0; at < 20; ++at) {
      const std::string text =
          std::string(at, 'a') + character + std::string(20 - at, 'a');
      char line[sender_line_size];
      const std::string expected = "1.2.3.4 says: " + std::string(at, 'a') +
                                   shown + std::string(20 - at, 'a') + "\n";
      ASSERT_EQ(std::string(line, format_sender_line("1.2.3.4", text.c_str(),
                                                     text.size(), line)),
                expected)
          << "character " << (first + 0) << " of " << character.size()
          << " bytes at " << at;
    }
  }
}

TEST(SenderLine, FitsEveryByteEscapedFromTheLongestAddress) {
  char line[sender_line_size];
  const std::string text(max_shown_length, '\x1b');
  const std::size_t length =
      format_sender_line("255.255.255.255", text.c_str(), text.size(), line);
  EXPECT_EQ(length, sizeof line);
  EXPECT_EQ(line[length - 1], '\n');
}

}  // namespace
