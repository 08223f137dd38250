// The server's own queue: the lines of the datagrams taken from the socket,
// in arrival order, while they wait for the output, and the losses to tell in
// their places among them. So the server goes on taking datagrams while its
// output is slow, and the system's receive queue does not overflow for it.
#ifndef SERVER_QUEUE_H_
#define SERVER_QUEUE_H_

#include <cstddef>
#include <cstdint>

#include "server/losses.h"

// The most bytes of lines the queue holds: some 2.5 million lines of short
// sentences, or 64 000 of 1000 bytes. Its memory is mapped at the start and
// taken only as lines fill it; what the output has taken is given back.
constexpr std::size_t queue_size = std::size_t{64} << 20;

// A full queue takes lines again only once this much is free, so that
// lasting overload makes a few long gaps rather than one a line.
constexpr std::size_t queue_resume_room = queue_size / 8;

// Memory is given back a stretch of this many bytes at a time.
constexpr std::size_t release_stretch = std::size_t{1} << 20;

// The most places of losses among the queued lines.
constexpr std::size_t gap_slots = 1024;

// Losses to tell where the writing of the lines has reached `at` bytes.
struct gap {
  std::uint64_t at = 0;
  losses lost;
};

// Lines in a ring of mapped memory. A line is never split: one that does
// not fit at the end starts the ring again from its first byte.
struct line_queue {
  char* memory = nullptr;
  std::size_t read = 0;      // the first byte not yet written
  std::size_t write = 0;     // where the next line goes
  std::size_t end = 0;       // when `wrapped`, the end of the lines from `read`
  bool wrapped = false;      // the newest lines start again at the ring's start
  bool full = false;         // no line is taken until there is room for many
  std::size_t room = 0;      // where the room last given starts
  std::uint64_t queued = 0;  // bytes of lines queued, from the start
  std::uint64_t written = 0;  // bytes of lines written, from the start
  gap gaps[gap_slots];
  std::size_t first_gap = 0;
  std::size_t gap_count = 0;
};

// Maps the queue's memory; false, with errno, if it cannot.
bool open_queue(line_queue& queue);

// Gives room for one line of up to sender_line_size bytes at the queue's
// end, or nullptr while the queue is full; a stop sentence may take the
// room that is kept for it.
char* line_room(line_queue& queue, bool stop_sentence);

// Queues the `length` bytes of the line put in the room last given.
void add_line(line_queue& queue, std::size_t length);

// Places `lost` after every line queued so far, with the losses placed there
// already when no line has been queued since.
void add_losses(line_queue& queue, const losses& lost);

// The next lines to write, up to the next place of losses.
struct stretch {
  const char* data;
  std::size_t size;
};
stretch next_lines(const line_queue& queue);

// Takes `size` bytes that went out off the front of the queue.
void take_written(line_queue& queue, std::size_t size);

// Tells whether losses are to be told before any more lines are written;
// then take_losses gives them, and takes them off the queue.
bool losses_due(const line_queue& queue);
losses take_losses(line_queue& queue);

// Bytes of lines not yet written.
inline std::uint64_t unwritten_bytes(const line_queue& queue) {
  return queue.queued - queue.written;
}

// Tells whether nothing waits: no line and no loss.
inline bool queue_empty(const line_queue& queue) {
  return unwritten_bytes(queue) == 0 && queue.gap_count == 0;
}

// The lines not written whole, and the losses not yet told, summed.
unsigned long unwritten_lines(const line_queue& queue);
losses untold_losses(const line_queue& queue);

#endif  // SERVER_QUEUE_H_
