// The sentences the benchmark sends, and the check of what a receiver showed
// and what the server told.
#ifndef BENCH_TRAFFIC_H_
#define BENCH_TRAFFIC_H_

#include <cstdint>
#include <string>
#include <vector>

// What a receiver shows before its lines.
constexpr char server_prompt[] = "Please enter your listening port: ";

// The text of line `index` from sender `tag`: the tag, a 7-digit number and
// a filler that depends on both, so a cut or mixed line shows.
std::string line_text(char tag, int index, int length);

// The sentence datagrams of one sender, the stop word last if asked.
std::vector<std::string> payloads(char tag, int lines, int length, bool quit);

// Writes a client's input into `dir`: its two answers, then the lines; the
// port goes in later, in the first five bytes. Returns the file's path.
std::string write_client_input(const std::string& dir, char tag, int lines,
                               int length, bool quit);

// Opens a client's input with `port` put in.
int open_client_input(const std::string& path, std::uint16_t port);

// What a receiver showed, read back from its output.
struct shown {
  long lines = 0;      // well-formed sentence lines, in order per sender
  long malformed = 0;  // cut, mixed, foreign or out of order
  bool quit = false;   // the stop sentence was shown
};

// Checks the output of a receiver that `senders` senders (tags A, B, ...)
// sent lines of `length` characters from 127.0.0.1.
shown check_output(const std::string& text, int senders, int length);

// The datagrams the server said were dropped, in all its drop lines.
long told_drops(const std::string& errors);

#endif  // BENCH_TRAFFIC_H_
