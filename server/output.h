// The server's standard output and error, written without waiting, so that
// a slow reader never keeps the server from taking datagrams: the lines of
// its queue as fast as the output takes them, and each loss told on
// standard error in its place among them.
#ifndef SERVER_OUTPUT_H_
#define SERVER_OUTPUT_H_

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <ctime>

#include "server/losses.h"
#include "server/queue.h"

// A write to an output that the server could not open without waiting is
// cut short after this long.
constexpr std::chrono::milliseconds timed_write_limit(1);

// How a stream is written without waiting.
enum class stream_kind {
  nonblocking,      // through an open file description that never waits
  stream_socket,    // a socket that keeps a byte stream, each send told not
                    // to wait
  datagram_socket,  // a socket that keeps datagrams: a line a datagram
  file,             // a file, which never waits for a reader; or a stream
                    // not open for writing, which fails at once
  timed,            // none of those: each write cut short by a timer
};

// One of the standard streams as the server writes it.
struct stream {
  int fd = -1;
  stream_kind kind = stream_kind::file;
  int reopen_error = 0;       // why a timed stream was not opened anew
  timer_t timer{};            // what cuts a timed stream's writes short
  unsigned long refused = 0;  // lines a datagram socket refused, untold
};

// Readies `fd` for writes that do not wait. A pipe or terminal gets a
// non-blocking open file description of the server's own: making the
// inherited one non-blocking would change it for the shell that shares it,
// and for good if the server were killed. One that cannot be opened anew
// (another user's terminal, no /proc) is written with a timer. False, with
// errno, if that timer cannot be made.
bool open_stream(int fd, stream& s);

// Writes what `s` takes at once of the `size` bytes at `data`: gives the
// bytes written, 0 if it would wait, or -1 with errno if it failed.
ssize_t write_now(stream& s, const char* data, std::size_t size);

// Counts the refusal that came back for the last line a datagram socket
// took, which no later send reports: 1 if there is one, else 0.
unsigned long late_refusal(const stream& s);

// Room for the lines told on standard error at once: those of a place's
// losses, or at the end the rest of those begun and the last ones.
constexpr std::size_t told_room = 2 * loss_lines_size;

// The server's output: its lines, and the losses told among them.
struct server_output {
  const char* program = "";
  stream out;
  stream err;
  bool shared = false;     // standard output and error are one file
  bool line_open = false;  // standard output's last line is not whole yet
  // The lines going to standard error.
  char told[told_room];
  std::size_t told_size = 0;
  std::size_t told_sent = 0;
};

// How far the writing of the queue got.
enum class write_state {
  empty,      // every line and loss is out
  out_waits,  // standard output takes no more now
  err_waits,  // standard error takes no more now, and the lines wait for it
  failed,     // standard output failed; errno tells why
};

// Readies standard output and error, and says on standard error, before
// anything else, which of them cannot be written without waiting; false,
// with errno, if they cannot be readied.
bool open_output(server_output& output);

// Writes the queue's lines to standard output, and the losses placed among
// them to standard error, each after the lines before it and before the
// lines after it, as far as both take them without waiting. A loss line
// that standard error refuses for good is dropped.
write_state write_queue(server_output& output, line_queue& queue);

// Writes what standard output takes now of the rest of a line begun, and
// nothing after it.
write_state write_line_rest(server_output& output, line_queue& queue);

// Puts the lines that tell `lost` next in line for standard error, after the
// line "<program>: <failure>: <reason of error>" if a failure is given.
void start_telling(server_output& output, const losses& lost,
                   const char* failure = nullptr, int error = 0);

// Puts the last lines in line for standard error, as start_telling does,
// after what standard error has not taken yet, and after a line end if
// standard output, one file with standard error, holds a line begun.
void finish_telling(server_output& output, const losses& lost,
                    const char* failure, int error);

// Writes what standard error takes now of the lines told: gives empty once
// they are out (or refused for good), else err_waits.
write_state write_told(server_output& output);

#endif  // SERVER_OUTPUT_H_
