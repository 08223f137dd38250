// Feeds arbitrary bytes to the server's handling of one received payload, to
// the reading of a port text, to the cutting of a typed line and to the line
// window that reads typed input, and checks what each promises.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/line_window.h"
#include "common/sentence.h"
#include "server/sender_line.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// The sender line holds the bounded text, with exactly the unsafe bytes (C0
// controls but tab, DEL, and both bytes of a C1 control in UTF-8) escaped and
// nothing else able to break the line.
void check_sender_line(const char* text, const char* line, std::size_t size) {
  const std::string_view prefix = "127.0.0.1 says: ";
  require(size > prefix.size() && size <= sender_line_size);
  require(std::memcmp(line, prefix.data(), prefix.size()) == 0);
  require(line[size - 1] == '\n');
  const auto* shown = reinterpret_cast<const unsigned char*>(line);
  std::size_t at = prefix.size();
  bool c1_second = false;  // the byte after the lead of a C1 control
  for (const auto* t = reinterpret_cast<const unsigned char*>(text); *t != 0;
       ++t) {
    const bool c1_lead = *t == 0xc2 && t[1] >= 0x80 && t[1] <= 0x9f;
    const bool unsafe =
        (*t < 0x20 && *t != '\t') || *t == 0x7f || c1_lead || c1_second;
    c1_second = c1_lead;
    if (unsafe) {
      static constexpr char hex_digits[] = "0123456789abcdef";
      require(shown[at] == '\\' && shown[at + 1] == 'x' &&
              shown[at + 2] == hex_digits[*t >> 4] &&
              shown[at + 3] == hex_digits[*t & 0xf]);
      at += escaped_byte_size;
    } else {
      require(shown[at] == *t);
      ++at;
    }
  }
  require(at == size - 1);
}

// A line longer than a sentence goes out in pieces that are whole, in order,
// never empty or too long, and never a stop sentence unless the line is.
void check_pieces(const char* line, std::size_t size) {
  std::size_t at = 0;
  do {
    const std::size_t length = next_piece_length(line + at, size - at);
    require(length <= longest_sentence && (length > 0 || size == 0));
    const std::string piece(line + at, length);
    require(length == size || !is_stop_sentence(piece.c_str()));
    at += length;
  } while (at < size);
}

// Tells whether a cut between `piece` and the byte `next` falls inside a
// UTF-8 character: `next` continues one whose lead byte, in the piece,
// announces more bytes than the piece holds of it.
bool cuts_a_character(const std::string& piece, char next) {
  if ((static_cast<unsigned char>(next) & 0xc0) != 0x80) return false;
  for (std::size_t back = 1; back <= 4 && back <= piece.size(); ++back) {
    const auto byte = static_cast<unsigned char>(piece[piece.size() - back]);
    if ((byte & 0xc0) == 0x80) continue;
    const std::size_t announced = (byte & 0xe0) == 0xc0   ? 2
                                  : (byte & 0xf0) == 0xe0 ? 3
                                  : (byte & 0xf8) == 0xf0 ? 4
                                                          : 1;
    return announced > back;
  }
  return false;
}

// Typed input, read through the line window in pieces of the size its first
// byte gives, goes out as sentences that join back to each line up to its
// first zero byte, none too long, cut inside a character, or read as the
// stop word unless its whole line does.
void check_line_window(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const std::size_t piece = std::max<std::size_t>(1 + data[0], size / 64);
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  int ends[2];
  require(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0);
  for (std::size_t at = 0; at < input.size(); at += piece) {
    require(send(ends[1], input.data() + at, std::min(piece, input.size() - at),
                 0) >= 0);
  }
  close(ends[1]);
  static console c;
  c = console{};
  c.program = "fuzz";
  c.in = ends[0];
  static line_reader reader;
  reader = line_reader{};
  std::vector<std::vector<std::string>> lines;
  char sentence[message_buffer_size];
  for (;;) {
    const bool new_line = starts_line(reader);
    if (next_sentence(c, reader, sentence) != line_status::whole) break;
    if (new_line) lines.emplace_back();
    lines.back().emplace_back(sentence);
  }
  close(ends[0]);
  std::vector<std::string> expected;
  for (std::size_t at = 0; at < input.size();) {
    std::size_t end = input.find('\n', at);
    if (end == std::string::npos) end = input.size();
    const std::string line = input.substr(at, end - at);
    expected.push_back(line.substr(0, line.find('\0')));
    at = end + 1;
  }
  require(lines.size() == expected.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string joined;
    for (std::size_t k = 0; k < lines[i].size(); ++k) {
      const std::string& piece_sent = lines[i][k];
      require(piece_sent.size() <= longest_sentence);
      require(lines[i].size() == 1 || !is_stop_sentence(piece_sent.c_str()));
      require(k + 1 == lines[i].size() ||
              !cuts_a_character(piece_sent, lines[i][k + 1][0]));
      joined += piece_sent;
    }
    require(joined == expected[i]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  // Stale bytes of an earlier, longer datagram must never show.
  char buffer[message_buffer_size];
  std::memset(buffer, 'S', sizeof buffer);
  const std::size_t received = size < sizeof buffer ? size : sizeof buffer;
  std::memcpy(buffer, data, received);

  const bounded_sentence bounded = bound_sentence(buffer, received);
  const std::size_t length = bounded.length;
  // Cut exactly when the payload's sentence is longer than what is shown.
  require(bounded.cut == (strnlen(reinterpret_cast<const char*>(data), size) >
                          max_shown_length));
  require(length == std::strlen(buffer));
  char line[sender_line_size];
  const std::size_t line_size =
      format_sender_line("127.0.0.1", buffer, length, line);
  require(length <= received && length <= max_shown_length);
  require(std::memcmp(buffer, data, length) == 0);
  require(length == received || length == max_shown_length ||
          data[length] == 0);
  check_sender_line(buffer, line, line_size);

  const bool stops =
      std::strcmp(buffer, "Quit") == 0 || std::strcmp(buffer, "Quit\r") == 0;
  require(is_stop_sentence(buffer) == stops);

  // A typed line's sentence ends at its first zero byte.
  const auto* text = reinterpret_cast<const char*>(data);
  check_pieces(text, strnlen(text, size));

  check_line_window(data, size);

  // The port text agrees with atoi wherever atoi's result is defined.
  errno = 0;
  const long number = std::strtol(buffer, nullptr, 10);
  if (errno == 0 && number >= INT_MIN && number <= INT_MAX) {
    require(parse_port(buffer) ==
            htons(static_cast<std::uint16_t>(static_cast<int>(number))));
  }
  return 0;
}
