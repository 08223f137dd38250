#include "server/queue.h"

#include <sys/mman.h>

#include <algorithm>

#include "server/sender_line.h"

namespace {

// An ordinary line leaves room for the line of a stop sentence that may come
// while the queue is full.
constexpr std::size_t line_and_stop_room = 2 * sender_line_size;

std::size_t round_down(std::size_t offset) {
  return offset / release_stretch * release_stretch;
}

std::size_t round_up(std::size_t offset) {
  return std::min(round_down(offset + release_stretch - 1), queue_size);
}

std::size_t free_bytes(const line_queue& queue) {
  return queue.wrapped ? queue.read - queue.write
                       : queue_size - queue.write + queue.read;
}

// Gives the system back the memory of the whole stretches from the one that
// `from` stands in to `to`, bytes that have gone out, but for the first
// stretch, the busiest, and any that holds lines at the ring's start.
void release(line_queue& queue, std::size_t from, std::size_t to) {
  std::size_t first = std::max(round_down(from), release_stretch);
  if (queue.wrapped) first = std::max(first, round_up(queue.write));
  const std::size_t last = round_down(to);
  if (last > first) madvise(queue.memory + first, last - first, MADV_DONTNEED);
}

}  // namespace

bool open_queue(line_queue& queue) {
  void* memory = mmap(nullptr, queue_size, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED) return false;
  queue.memory = static_cast<char*>(memory);
  return true;
}

char* line_room(line_queue& queue, bool stop_sentence) {
  if (queue.full && !stop_sentence) {
    if (free_bytes(queue) < queue_resume_room ||
        queue.gap_count > gap_slots / 2) {
      return nullptr;
    }
    queue.full = false;
  }
  // An ordinary line also keeps a place for the losses before a stop
  // sentence and for those after the last line.
  const std::size_t needed =
      stop_sentence ? sender_line_size : line_and_stop_room;
  const bool place_kept = stop_sentence || queue.gap_count + 2 <= gap_slots;
  // The next line goes after the newest, else at the ring's start.
  const bool fits_after = queue.wrapped ? queue.read - queue.write >= needed
                                        : queue_size - queue.write >= needed;
  if (place_kept && fits_after) {
    queue.room = queue.write;
  } else if (place_kept && !queue.wrapped && queue.read >= needed) {
    queue.room = 0;
  } else {
    if (!stop_sentence) queue.full = true;
    return nullptr;
  }
  return queue.memory + queue.room;
}

void add_line(line_queue& queue, std::size_t length) {
  if (queue.room != queue.write) {
    queue.end = queue.write;
    queue.write = queue.room;
    queue.wrapped = true;
  }
  queue.write += length;
  queue.queued += length;
}

void add_losses(line_queue& queue, const losses& lost) {
  if (!any(lost)) return;
  if (queue.gap_count > 0) {
    gap& last = queue.gaps[(queue.first_gap + queue.gap_count - 1) % gap_slots];
    // Line room keeps a slot free; merging when none is would only be a
    // last resort.
    if (last.at == queue.queued || queue.gap_count == gap_slots) {
      add_up(last.lost, lost);
      return;
    }
  }
  gap& next = queue.gaps[(queue.first_gap + queue.gap_count) % gap_slots];
  next.at = queue.queued;
  next.lost = lost;
  ++queue.gap_count;
}

stretch next_lines(const line_queue& queue) {
  std::uint64_t size = (queue.wrapped ? queue.end : queue.write) - queue.read;
  if (queue.gap_count > 0) {
    size = std::min(size, queue.gaps[queue.first_gap].at - queue.written);
  }
  return {queue.memory + queue.read, static_cast<std::size_t>(size)};
}

void take_written(line_queue& queue, std::size_t size) {
  const std::size_t from = queue.read;
  queue.read += size;
  queue.written += size;
  if (queue.wrapped && queue.read == queue.end) {
    // What stood after the end is free too.
    release(queue, from, round_up(queue.end));
    queue.read = 0;
    queue.wrapped = false;
  } else if (!queue.wrapped && queue.read == queue.write) {
    // Empty, the queue starts again from its first byte, which stays in use.
    release(queue, from, round_up(queue.write));
    queue.read = 0;
    queue.write = 0;
  } else {
    release(queue, from, queue.read);
  }
}

bool losses_due(const line_queue& queue) {
  return queue.gap_count > 0 && queue.gaps[queue.first_gap].at == queue.written;
}

losses take_losses(line_queue& queue) {
  const losses lost = queue.gaps[queue.first_gap].lost;
  queue.first_gap = (queue.first_gap + 1) % gap_slots;
  --queue.gap_count;
  return lost;
}

unsigned long unwritten_lines(const line_queue& queue) {
  const char* start = queue.memory + queue.read;
  const char* end = queue.memory + (queue.wrapped ? queue.end : queue.write);
  auto lines = std::count(start, end, '\n');
  if (queue.wrapped) {
    lines += std::count(queue.memory, queue.memory + queue.write, '\n');
  }
  return static_cast<unsigned long>(lines);
}

losses untold_losses(const line_queue& queue) {
  losses all;
  for (std::size_t i = 0; i < queue.gap_count; ++i) {
    add_up(all, queue.gaps[(queue.first_gap + i) % gap_slots].lost);
  }
  return all;
}
