// The server's own queue: the lines of the datagrams taken from the socket,
// in arrival order, while they wait for the output, and the losses to tell in
// their places among them. So the server goes on taking datagrams while its
// output is slow, and the system's receive queue does not overflow for it.
#ifndef SERVER_QUEUE_H_
#define SERVER_QUEUE_H_

#include <cstddef>
#include <cstdint>

#include "server/losses.h"

// The most bytes the queue holds, lines and losses alike: some 2.5 million
// lines of short sentences, or 64 000 of 1000 bytes.
constexpr std::size_t queue_size = std::size_t{64} << 20;

// The queue is a ring of blocks of this size, mapped at the start and taken
// from the system only as lines fill them. A line or a loss never spans two
// blocks.
constexpr std::size_t block_size = std::size_t{1} << 20;
constexpr std::size_t block_count = queue_size / block_size;

// A full queue takes lines again only once this many blocks are free, so
// that lasting overload makes a few long gaps rather than one a line.
constexpr std::size_t resume_blocks = block_count / 8;

// Blocks the output has emptied keep their memory, up to this many, for the
// lines to come; the memory of any more is given back to the system.
constexpr std::size_t kept_blocks = 4;

// Where the queue has no loss to tell.
constexpr std::uint32_t no_loss = UINT32_MAX;

// A block: lines, and the losses placed among them, each loss linked to the
// next one in the same block.
struct queue_block {
  std::uint32_t used = 0;               // bytes of lines and losses
  std::uint32_t first_loss = no_loss;   // the first loss not yet taken
  std::uint32_t newest_loss = no_loss;  // the last loss placed
  std::uint32_t lines = 0;              // lines placed in it
  bool resident = false;  // its memory is taken, lines in it or not
};

// Lines in blocks of mapped memory, used in turn: the blocks in use are a
// ring of block numbers, oldest first; the emptied ones wait on a stack, so
// that the next block taken is the one emptied last, whose memory is still
// there.
struct line_queue {
  char* memory = nullptr;
  queue_block blocks[block_count];
  std::uint8_t in_use[block_count] = {};
  std::size_t head = 0;   // where the oldest block in use stands in in_use
  std::size_t count = 0;  // blocks in use; the newest takes what comes
  std::uint8_t emptied[block_count] = {};
  std::size_t free_count = 0;     // blocks on the stack, the top one last
  std::size_t kept = 0;           // blocks on the stack that are resident
  std::uint32_t read = 0;         // the first byte of the oldest block not out
  bool full = false;              // no line is taken until resume_blocks are
  bool loss_is_newest = false;    // no line was placed since the newest loss
  std::uint64_t queued = 0;       // bytes of lines queued, from the start
  std::uint64_t written = 0;      // bytes of lines taken off, from the start
  unsigned long loss_places = 0;  // losses placed and not yet taken
  losses untold;                  // the losses placed and not yet taken, summed
  losses spilled;                 // losses that found no room: told at the end
};

// Maps the queue's memory; false, with errno, if it cannot.
bool open_queue(line_queue& queue);

// Gives room for one line of up to sender_line_size bytes at the queue's
// end, or nullptr while the queue is full; a stop sentence may take the
// block that is kept for it.
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
  return unwritten_bytes(queue) == 0 && queue.loss_places == 0;
}

// The lines not written whole, counted from the blocks' counts and the one
// block the output is in; and the losses not yet told, summed.
unsigned long unwritten_lines(const line_queue& queue);
inline losses untold_losses(const line_queue& queue) {
  losses all = queue.untold;
  add_up(all, queue.spilled);
  return all;
}

#endif  // SERVER_QUEUE_H_
