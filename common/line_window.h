// The console as both programs use it: standard input read with read(2)
// through a window of its own, a line at a time, and prompts gathered until
// the program is about to wait for input.
#ifndef COMMON_LINE_WINDOW_H_
#define COMMON_LINE_WINDOW_H_

#include <cstddef>

#include "common/console.h"
#include "common/sentence.h"
#include "common/sizes.h"

// How one console read ended.
enum class line_status {
  whole,     // a whole line, or the last line without a line end
  too_long,  // the first size - 1 bytes of a longer line; the rest is next
  none,      // end of input: no text
  failed,    // the input could not be read; errno tells why
};

// Tells whether the console holds input that no read has taken yet, so
// that taking it will not wait.
inline bool has_input(const console& c) { return c.start < c.end; }

// Gathers `prompt`, to be written before the console next waits for input.
void show_prompt(console& c, const char* prompt);

// Writes the gathered prompts; standard output that cannot take them is
// told once on standard error, and the caller goes on.
void write_prompts(console& c);

// Ends the line of a prompt that input never answered, when standard output
// is a terminal, so that what follows stands on a line of its own.
void end_unanswered_prompt(console& c);

// Ends, on the terminal it was typed at, a line that the input ended
// without a line end (Ctrl-D in mid-line), so that nothing written next
// lands inside it.
void end_input_line(console& c);

// Ends the line of a prompt once its answer is read, so that what follows
// (a sender line in a log, say) stands on a line of its own; but where the
// answer was typed at the terminal the prompt is on, whose echo ended it.
void end_answered_prompt(console& c);

// Reads a line of at most size - 1 bytes into `text`, dropping its line end,
// and gives its length, zero bytes and all, in `length` if asked; a
// non-blocking input that has nothing yet is waited for.
line_status read_line(console& c, char* text, std::size_t size,
                      std::size_t* length = nullptr);

// Reads past blanks and line ends to the first word of the input and keeps
// it, or its first size - 1 bytes, in `text`, and its length in `length`;
// nothing after it is read.
line_status read_word(console& c, char* text, std::size_t size,
                      std::size_t& length);

// Shows `prompt` and reads the answer, of at most size - 1 - line_end_room
// bytes and without the carriage return of a CR LF line end, into `text`,
// and its length, zero bytes and all, into `length`; if there is none, it is
// longer or it cannot be read, says so on standard error ("<program>: no
// <what> given", say) and returns false.
bool ask_line(console& c, const char* prompt, const char* what, char* text,
              std::size_t size, std::size_t& length);

// The part of a typed line that is read but not yet sent.
struct line_reader {
  char text[sentence_window_size];
  std::size_t held = 0;    // bytes of the line at the start of text
  bool line_open = false;  // more of the line waits in the input
  bool skip_rest = false;  // the line's rest follows a zero byte: dropped
};

// Tells whether the next sentence begins a new line of the input.
inline bool starts_line(const line_reader& reader) {
  return reader.held == 0 && !reader.line_open;
}

// Gives the next sentence of the input: a line up to its first zero byte,
// or the next piece of one too long for a single sentence.
line_status next_sentence(console& c, line_reader& reader,
                          char (&sentence)[message_buffer_size]);

#endif  // COMMON_LINE_WINDOW_H_
