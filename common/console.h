// The console: standard input and output as a program holds them, the
// standard descriptors, and diagnostics on standard error.
#ifndef COMMON_CONSOLE_H_
#define COMMON_CONSOLE_H_

#include <unistd.h>

#include <cstddef>

#include "common/sizes.h"

// Standard input as read so far, and the prompts not yet written.
struct console {
  const char* program = "";
  int in = STDIN_FILENO;
  int out = STDOUT_FILENO;
  char input[input_window_size];
  std::size_t start = 0;  // the first byte not yet taken
  std::size_t end = 0;    // the end of the bytes read
  bool ended = false;     // the input has no more
  char prompts[prompt_buffer_size];
  std::size_t prompts_held = 0;
  bool prompts_failed = false;   // said once; no more are written
  bool input_line_open = false;  // the last line read ended with the input,
                                 // not with a line end
};

// Opens /dev/null on any of standard input, output and error that is closed,
// so that no file the program opens later takes its place.
void open_standard_descriptors();

// Answers a command line: "--help" writes `usage` and `about` to standard
// output, "--version" the program's name and version; any other argument is
// told on standard error with the usage line. Gives the exit status when the
// program is to end now, or -1 when it has no arguments and goes on.
int answer_arguments(int argc, char** argv, const char* program,
                     const char* usage, const char* about);

// Writes "<program>: " and the formatted text as one line to standard error
// with a single write, so that the lines of programs that share it never
// tear; tells whether the whole line went out.
bool tell(const char* program, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Writes "<program>: <what>: <reason of errno>" to standard error; returns the
// exit status of a failure.
int report_failure(const char* program, const char* what);

#endif  // COMMON_CONSOLE_H_
