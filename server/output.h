// The server's standard output and error, written without waiting wherever
// the system allows, so that a slow reader never keeps the server from
// taking datagrams: the lines of its queue as fast as the output takes them,
// and each loss told on standard error in its place among them.
#ifndef SERVER_OUTPUT_H_
#define SERVER_OUTPUT_H_

#include <sys/types.h>

#include <cstddef>

#include "server/losses.h"
#include "server/queue.h"

// How a stream is written without waiting.
enum class stream_kind {
  nonblocking,  // through an open file description that never waits
  socket,       // a socket, each send told not to wait
  file,         // a file, which never waits for a reader
  careful,      // none of those: written once ready, at most what a pipe
                // takes whole
};

// One of the standard streams as the server writes it.
struct stream {
  int fd = -1;
  stream_kind kind = stream_kind::careful;
};

// Readies `fd` for writes that do not wait. A pipe or terminal gets a
// non-blocking open file description of the server's own: making the
// inherited one non-blocking would change it for the shell that shares it,
// and for good if the server were killed.
stream open_stream(int fd);

// Writes what `s` takes at once of the `size` bytes at `data`: gives the
// bytes written, 0 if it would wait, or -1 with errno if it failed.
ssize_t write_now(const stream& s, const char* data, std::size_t size);

// The server's output: its lines, and the losses told among them.
struct server_output {
  const char* program = "";
  stream out;
  stream err;
  // The lines going to standard error, and the losses they tell.
  char told[loss_lines_size];
  std::size_t told_size = 0;
  std::size_t told_sent = 0;
  losses telling;
};

// How far the writing of the queue got.
enum class write_state {
  empty,      // every line and loss is out
  out_waits,  // standard output takes no more now
  err_waits,  // standard error takes no more now, and the lines wait for it
  failed,     // standard output failed; errno tells why
};

// Writes the queue's lines to standard output, and the losses placed among
// them to standard error, each after the lines before it and before the
// lines after it, as far as both take them without waiting. A loss line
// that standard error refuses for good is dropped.
write_state write_queue(server_output& output, line_queue& queue);

// Puts the lines that tell `lost` next in line for standard error, in place
// of any not yet out, after the line "<program>: <failure>: <reason of
// error>" if a failure is given.
void start_telling(server_output& output, const losses& lost,
                   const char* failure = nullptr, int error = 0);

// Writes what standard error takes now of the loss lines started: gives
// empty once they are out (or refused for good), else err_waits.
write_state write_told(server_output& output);

#endif  // SERVER_OUTPUT_H_
