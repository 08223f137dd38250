#ifndef COMMON_CONSOLE_H_
#define COMMON_CONSOLE_H_

#include <cstddef>
#include <istream>

#include "common/sentence.h"

// How one console read ended.
enum class line_status {
  whole,     // a whole line, or the last line without a line end
  too_long,  // the first size - 1 bytes of a longer line; the rest is next
  none,      // end of input: no text
  failed,    // the input could not be read; errno tells why
};

// Opens /dev/null on any of standard input, output and error that is closed,
// so that no file the program opens later takes its place.
void open_standard_descriptors();

// Reads a line of at most size - 1 bytes into `text`, dropping its line end;
// a non-blocking input that has nothing yet is waited for.
line_status read_line(std::istream& in, char* text, std::size_t size);

// Reads lines until one holds a word and keeps its first word, of at most
// size - 1 bytes, in `text`; the rest of that line is dropped.
line_status read_word(std::istream& in, char* text, std::size_t size);

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
line_status next_sentence(std::istream& in, line_reader& reader,
                          char (&sentence)[message_buffer_size]);

// Writes a prompt and shows it at once; a console that cannot show it is
// told once on standard error, and the caller goes on.
void show_prompt(const char* program, const char* prompt);

// Ends the line of a prompt that input never answered, when standard output
// is a terminal, so that what follows stands on a line of its own.
void end_unanswered_prompt();

// Writes `prompt` and reads the answer, of at most size - 1 - line_end_room
// bytes and without the carriage return of a CR LF line end, into `text`; if
// there is none, it is longer or it cannot be read, says so on standard error
// ("<program>: no <what> given", say) and returns false.
bool ask_line(const char* program, const char* prompt, const char* what,
              char* text, std::size_t size);

// Writes "<program>: " and the formatted text as one line to standard error
// with a single write, so that the lines of programs that share it never
// tear; tells whether the whole line went out.
bool tell(const char* program, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Does as tell, but only if standard error takes the line at once: a paused
// terminal or a full pipe there is not waited for.
bool tell_at_once(const char* program, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Writes "<program>: <what>: <reason of errno>" to standard error; returns the
// exit status of a failure.
int report_failure(const char* program, const char* what);

#endif  // COMMON_CONSOLE_H_
