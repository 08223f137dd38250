#include "server/sender_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/sentence.h"

namespace {

// Receives `payload` over a buffer full of stale bytes and formats its line,
// marked "(cut)" when the sentence went on beyond it.
std::string shown_line(const std::string& payload) {
  char buffer[message_buffer_size];
  std::memset(buffer, 'S', sizeof buffer);
  const std::size_t received = std::min(payload.size(), sizeof buffer);
  std::copy_n(payload.begin(), received, buffer);
  const bounded_sentence sentence = bound_sentence(buffer, received);
  EXPECT_EQ(buffer[sentence.length], '\0');
  EXPECT_LE(sentence.length, max_shown_length);
  char line[sender_line_size];
  return std::string(line, format_sender_line("10.1.2.3", buffer,
                                              sentence.length, line)) +
         (sentence.cut ? "(cut)" : "");
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
       "10.1.2.3 says: " + longest.substr(1) + "\xc2\n(cut)"},
      {longest + '\0', "10.1.2.3 says: " + longest + "\n"},
      {longest, "10.1.2.3 says: " + longest + "\n"},
      {longest + "b", "10.1.2.3 says: " + longest + "\n(cut)"},
      {longest + "bc", "10.1.2.3 says: " + longest + "\n(cut)"},
      {longest + std::string("\0b", 2), "10.1.2.3 says: " + longest + "\n"},
      {std::string(2000, 'z'),
       "10.1.2.3 says: " + std::string(max_shown_length, 'z') + "\n(cut)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(shown_line(c.payload), c.line) << c.payload.size() << " bytes";
  }
}

// Every byte value, and every two-byte UTF-8 character, at every place in
// and around the first block that the escape scan looks at (eight or sixteen
// bytes), is escaped exactly when it is a control other than tab.
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
