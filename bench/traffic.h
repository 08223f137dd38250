// What the benchmark sends and how it checks what arrived: the lines, its
// minimal sender and receiver, and the reading of a receiver's output and
// of the drops the server told.
#ifndef BENCH_TRAFFIC_H_
#define BENCH_TRAFFIC_H_

#include <cstdint>
#include <istream>
#include <string>

// What a receiver shows before its lines.
constexpr char server_prompt[] = "Please enter your listening port: ";

// The text of line `index` from sender `tag`: the tag, a 7-digit number and
// a filler that depends on both, so a cut or mixed line shows.
std::string line_text(char tag, int index, int length);

// Writes a client's input into `dir`: its two answers, the lines of sender
// `tag` and, if asked, the stop word; the port goes in later, in the first
// five bytes. Returns the file's path.
std::string write_client_input(const std::string& dir, int lines, int length,
                               char tag = 'A', bool stop_word = true);

// The blast: sends `lines` lines of `length` characters from sender 'A', then
// the stop sentence, to `port` on loopback, a batch of datagrams a call.
int send_blast(std::uint16_t port, int lines, int length);

// The printing limit: takes datagrams on `fd` in batches and writes the lines
// of each batch to `out` with one call, without escaping and without copying
// a payload, after the server's prompt; ends after showing the stop sentence.
int print_datagrams(int fd, int out);

// The slow reader: copies what comes on `in` to `out`, at `rate` bytes a
// second at most, until `in` ends.
int read_slowly(int in, int out, long rate);

// What a receiver showed, read back from its output.
struct shown {
  long lines = 0;      // well-formed sentence lines, in order per sender
  long malformed = 0;  // cut, mixed, foreign or out of order
  bool quit = false;   // the stop sentence was shown
};

// Checks the output of a receiver that `senders` senders (tags A, B, ...)
// sent lines of `length` characters from 127.0.0.1.
shown check_output(std::istream& text, int senders, int length);

#endif  // BENCH_TRAFFIC_H_
