#include "server/queue.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "server/sender_line.h"

namespace {

// A loss as it stands among the lines: its counts, and where the next loss
// of its block stands. It is copied in and out, so it needs no alignment.
struct loss_record {
  losses lost;
  std::uint32_t next = no_loss;
};

std::size_t oldest_number(const line_queue& queue) {
  return queue.in_use[queue.head];
}

std::size_t newest_number(const line_queue& queue) {
  return queue.in_use[(queue.head + queue.count - 1) % block_count];
}

char* block_start(const line_queue& queue, std::size_t number) {
  return queue.memory + number * block_size;
}

loss_record record_at(const line_queue& queue, std::size_t number,
                      std::uint32_t offset) {
  loss_record record;
  std::memcpy(&record, block_start(queue, number) + offset, sizeof record);
  return record;
}

void put_record(const line_queue& queue, std::size_t number,
                std::uint32_t offset, const loss_record& record) {
  std::memcpy(block_start(queue, number) + offset, &record, sizeof record);
}

// Takes the counts of `some` from those of `from`, which hold them.
void take_away(losses& from, const losses& some) {
  from.system_drops -= some.system_drops;
  from.queue_drops -= some.queue_drops;
  from.cuts -= some.cuts;
  from.refused -= some.refused;
  from.not_shown -= some.not_shown;
}

// Takes the block emptied last and makes it the newest in use.
void take_block(line_queue& queue) {
  const std::uint8_t number = queue.emptied[--queue.free_count];
  queue_block& block = queue.blocks[number];
  if (block.resident) {
    --queue.kept;
  } else if (queue.count > 0) {
    // A queue that grows fills the block: one call takes all its memory,
    // where a fault for each page costs several times more. The first
    // block, at the start, takes memory only as lines come.
    madvise(block_start(queue, number), block_size, MADV_POPULATE_WRITE);
  }
  block = queue_block{};
  block.resident = true;
  queue.in_use[(queue.head + queue.count) % block_count] = number;
  ++queue.count;
}

// Puts block `number`, emptied, on the stack, and gives back the memory of
// the blocks emptied longest ago beyond those kept.
void give_block(line_queue& queue, std::uint8_t number) {
  queue.emptied[queue.free_count++] = number;
  if (queue.blocks[number].resident) ++queue.kept;
  for (std::size_t i = 0; queue.kept > kept_blocks; ++i) {
    queue_block& block = queue.blocks[queue.emptied[i]];
    if (!block.resident) continue;
    madvise(block_start(queue, queue.emptied[i]), block_size, MADV_DONTNEED);
    block.resident = false;
    --queue.kept;
  }
}

// Moves on from an oldest block that holds nothing more to write: to the
// next block, or, for the only one, back to its start.
void move_on(line_queue& queue) {
  queue_block& block = queue.blocks[oldest_number(queue)];
  // A loss not yet taken stands before the block's end.
  if (queue.read < block.used) return;
  if (queue.count == 1) {
    block.used = 0;
    block.lines = 0;
    block.newest_loss = no_loss;
    queue.read = 0;
    return;
  }
  const std::uint8_t number = queue.in_use[queue.head];
  queue.head = (queue.head + 1) % block_count;
  --queue.count;
  queue.read = 0;
  give_block(queue, number);
}

// The room left in the newest block.
std::size_t room_left(const line_queue& queue) {
  return block_size - queue.blocks[newest_number(queue)].used;
}

// Makes the newest block one with `needed` bytes free, taking a new one if
// it must while more than `spare` blocks are free; false if it cannot.
bool make_room(line_queue& queue, std::size_t needed, std::size_t spare) {
  if (room_left(queue) >= needed) return true;
  if (queue.free_count <= spare) return false;
  take_block(queue);
  return true;
}

}  // namespace

bool open_queue(line_queue& queue) {
  void* memory = mmap(nullptr, queue_size, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED) return false;
  queue.memory = static_cast<char*>(memory);
  // The first block on top of the stack is taken first.
  for (std::size_t i = 0; i < block_count; ++i) {
    queue.emptied[i] = static_cast<std::uint8_t>(block_count - 1 - i);
  }
  queue.free_count = block_count;
  take_block(queue);
  return true;
}

char* line_room(line_queue& queue, bool stop_sentence) {
  if (queue.full && !stop_sentence) {
    if (queue.free_count < resume_blocks) return nullptr;
    queue.full = false;
  }
  // An ordinary line leaves a block free, for the line of a stop sentence
  // and the losses that may come while the queue is full.
  if (!make_room(queue, sender_line_size, stop_sentence ? 0 : 1)) {
    queue.full = true;
    return nullptr;
  }
  const std::size_t number = newest_number(queue);
  return block_start(queue, number) + queue.blocks[number].used;
}

void add_line(line_queue& queue, std::size_t length) {
  queue_block& block = queue.blocks[newest_number(queue)];
  block.used += static_cast<std::uint32_t>(length);
  ++block.lines;
  queue.queued += length;
  queue.loss_is_newest = false;
}

void add_losses(line_queue& queue, const losses& lost) {
  if (!any(lost)) return;
  add_up(queue.untold, lost);
  std::size_t number = newest_number(queue);
  if (queue.loss_is_newest) {
    const std::uint32_t at = queue.blocks[number].newest_loss;
    loss_record record = record_at(queue, number, at);
    add_up(record.lost, lost);
    put_record(queue, number, at, record);
    return;
  }
  // A block is kept for this, and a queue that filled it only drops lines,
  // whose losses join the newest one: there is always room.
  if (!make_room(queue, sizeof(loss_record), 0)) {
    take_away(queue.untold, lost);
    add_up(queue.spilled, lost);
    return;
  }
  number = newest_number(queue);
  queue_block& block = queue.blocks[number];
  const std::uint32_t at = block.used;
  put_record(queue, number, at, {lost, no_loss});
  if (block.newest_loss != no_loss && block.first_loss != no_loss) {
    loss_record before = record_at(queue, number, block.newest_loss);
    before.next = at;
    put_record(queue, number, block.newest_loss, before);
  } else {
    block.first_loss = at;
  }
  block.newest_loss = at;
  block.used += sizeof(loss_record);
  ++queue.loss_places;
  queue.loss_is_newest = true;
}

stretch next_lines(const line_queue& queue) {
  const queue_block& block = queue.blocks[oldest_number(queue)];
  const std::uint32_t end =
      block.first_loss != no_loss ? block.first_loss : block.used;
  return {block_start(queue, queue.in_use[queue.head]) + queue.read,
          end - queue.read};
}

void take_written(line_queue& queue, std::size_t size) {
  queue.read += static_cast<std::uint32_t>(size);
  queue.written += size;
  move_on(queue);
}

bool losses_due(const line_queue& queue) {
  return queue.blocks[oldest_number(queue)].first_loss == queue.read &&
         queue.loss_places > 0;
}

losses take_losses(line_queue& queue) {
  queue_block& block = queue.blocks[oldest_number(queue)];
  const std::size_t number = queue.in_use[queue.head];
  const loss_record record = record_at(queue, number, block.first_loss);
  if (block.first_loss == block.newest_loss) {
    block.newest_loss = no_loss;
    queue.loss_is_newest = false;
  }
  block.first_loss = record.next;
  queue.read += sizeof(loss_record);
  --queue.loss_places;
  take_away(queue.untold, record.lost);
  move_on(queue);
  return record.lost;
}

unsigned long unwritten_lines(const line_queue& queue) {
  unsigned long lines = 0;
  for (std::size_t i = 1; i < queue.count; ++i) {
    lines += queue.blocks[queue.in_use[(queue.head + i) % block_count]].lines;
  }
  // In the oldest block, the lines are counted between its losses.
  const std::size_t number = queue.in_use[queue.head];
  const char* const start = block_start(queue, number);
  std::uint32_t at = queue.read;
  std::uint32_t loss = queue.blocks[oldest_number(queue)].first_loss;
  const std::uint32_t used = queue.blocks[oldest_number(queue)].used;
  while (at < used) {
    const std::uint32_t end = loss != no_loss ? loss : used;
    lines +=
        static_cast<unsigned long>(std::count(start + at, start + end, '\n'));
    if (loss == no_loss) break;
    at = loss + sizeof(loss_record);
    loss = record_at(queue, number, loss).next;
  }
  return lines;
}
