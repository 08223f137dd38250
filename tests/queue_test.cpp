#include "server/queue.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "server/sender_line.h"

namespace {

// A queue of its own memory, unmapped when this goes away.
struct test_queue {
  std::unique_ptr<line_queue> queue = std::make_unique<line_queue>();
  test_queue() { EXPECT_TRUE(open_queue(*queue)); }
  ~test_queue() { munmap(queue->memory, queue_size); }
  test_queue(const test_queue&) = delete;
  test_queue& operator=(const test_queue&) = delete;
};

// Line `index` of `size` bytes: its number, a filler and the line end.
std::string line_of(std::size_t index, std::size_t size) {
  std::string line = std::to_string(index) + ":";
  line.resize(size - 1, static_cast<char>('a' + index % 26));
  return line + '\n';
}

// Queues `line`; false if the queue refuses it.
bool queue_line(line_queue& queue, const std::string& line, bool stop = false) {
  char* room = line_room(queue, stop);
  if (room == nullptr) return false;
  std::copy(line.begin(), line.end(), room);
  add_line(queue, line.size());
  return true;
}

// Writes up to `limit` bytes of lines as the output would, and the losses
// due on the way as "<drops>", into `out`.
void drain(line_queue& queue, std::size_t limit, std::string& out) {
  while (limit > 0) {
    if (losses_due(queue)) {
      out += "<" + std::to_string(take_losses(queue).system_drops) + ">";
      continue;
    }
    const stretch lines = next_lines(queue);
    const std::size_t size = std::min(lines.size, limit);
    if (size == 0) return;
    out.append(lines.data, size);
    take_written(queue, size);
    limit -= size;
  }
}

// Lines and losses come out in the order they went in, each loss between
// the lines it stood between, losses with no line between them as one,
// across the ring's end, however the writing is cut up.
TEST(LineQueue, GivesLinesAndLossesInTheirOrder) {
  constexpr std::size_t all = ~std::size_t{0};
  // Queue `times` lines of `size` bytes ('l'), place `size` drops ('g'), or
  // write `size` bytes ('w').
  struct step {
    char op;
    std::size_t size;
    std::size_t times = 1;
  };
  const std::size_t big = 4000;
  const std::size_t filling = queue_size / 10 * 6 / big;  // 60 % of the ring
  const struct {
    const char* name;
    std::vector<step> steps;
  } cases[] = {
      {"lines only", {{'l', 10, 3}, {'w', all}}},
      {"a loss before, between and after lines",
       {{'g', 2}, {'l', 10, 2}, {'g', 5}, {'l', 30}, {'g', 1}, {'w', all}}},
      {"losses with no line between them are one",
       {{'l', 10}, {'g', 2}, {'g', 3}, {'l', 10}, {'w', all}}},
      {"writes cut lines and stop at losses",
       {{'l', 25, 4},
        {'g', 7},
        {'l', 25, 2},
        {'w', 13},
        {'w', 60},
        {'w', 1},
        {'w', all}}},
      {"a loss placed while lines wait",
       {{'l', 10, 2}, {'w', 5}, {'g', 4}, {'l', 10}, {'w', all}}},
      {"around the ring's end and back",
       {{'l', big, filling},
        {'w', queue_size / 2},
        {'g', 9},
        {'l', big, filling},
        {'w', queue_size / 3},
        {'l', 100, 10},
        {'w', all}}},
      {"through every block, three times",
       {{'l', big, filling},
        {'g', 1},
        {'w', all},
        {'l', big, filling},
        {'w', queue_size / 3},
        {'g', 2},
        {'l', big, filling},
        {'w', all},
        {'l', big, filling},
        {'w', all}}},
      {"lines that fill a block to its last byte, then a loss",
       {{'l', block_size / 256, 256}, {'g', 3}, {'l', 10}, {'w', all}}},
      {"a loss after one already told is told anew",
       {{'l', 10}, {'g', 2}, {'w', all}, {'g', 3}, {'l', 10}, {'w', all}}},
      {"a write that leaves a block's last byte",
       {{'l', 10}, {'w', 9}, {'l', 10}, {'w', all}}},
      {"a line written in part, then a loss",
       {{'l', 30, 2}, {'w', 45}, {'g', 4}, {'w', 5}, {'l', 10}, {'w', all}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const test_queue q;
    line_queue& queue = *q.queue;
    std::string expected;
    std::string out;
    std::size_t index = 0;
    bool merges = false;  // a loss now joins the one before it
    unsigned long merged = 0;
    for (const step& s : c.steps) {
      for (std::size_t time = 0; time < s.times; ++time) {
        if (s.op == 'l') {
          if (merges) expected += "<" + std::to_string(merged) + ">";
          merges = false;
          const std::string line = line_of(index++, s.size);
          ASSERT_TRUE(queue_line(queue, line));
          expected += line;
        } else if (s.op == 'g') {
          losses lost;
          lost.system_drops = s.size;
          add_losses(queue, lost);
          merged = merges ? merged + s.size : s.size;
          merges = true;
        } else {
          drain(queue, s.size, out);
          // A loss that went out is not joined any more.
          if (queue_empty(queue) && merges) {
            expected += "<" + std::to_string(merged) + ">";
            merges = false;
          }
        }
      }
    }
    if (merges) expected += "<" + std::to_string(merged) + ">";
    drain(queue, all, out);
    EXPECT_TRUE(out == expected);
    EXPECT_TRUE(queue_empty(queue));
  }
}

// A full queue refuses lines until a good part of it is free, but for a
// stop sentence's, for which it keeps room; lines and losses left are
// counted.
TEST(LineQueue, RefusesLinesWhenFullUntilThereIsRoomForMany) {
  const test_queue q;
  line_queue& queue = *q.queue;
  const std::string line = line_of(0, 1000);
  std::size_t queued = 0;
  while (queue_line(queue, line)) ++queued;
  // All but the block kept for a stop sentence, less the end of each block,
  // which takes a line only while the longest would fit.
  EXPECT_GT(queued * line.size(),
            queue_size - block_size - block_count * sender_line_size);
  EXPECT_TRUE(queue_line(queue, line_of(1, 30), true));
  losses lost;
  lost.queue_drops = 5;
  add_losses(queue, lost);
  EXPECT_EQ(unwritten_lines(queue), queued + 1);
  EXPECT_EQ(untold_losses(queue).queue_drops, 5U);
  std::string out;
  const struct {
    std::size_t written;  // bytes written from the start
    bool takes;           // the queue takes an ordinary line again
  } steps[] = {
      {100 * line.size(), false},
      {(resume_blocks - 1) * block_size, false},
      {(resume_blocks + 1) * block_size, true},
  };
  std::size_t written = 0;
  for (const auto& s : steps) {
    drain(queue, s.written - written, out);
    written = s.written;
    EXPECT_EQ(queue_line(queue, line), s.takes) << s.written;
  }
  // What was written whole is no longer counted.
  EXPECT_EQ(unwritten_lines(queue), queued + 2 - written / line.size());
}

// The losses live among the lines and are bounded by their bytes alone: a
// loss after every short line fills no queue.
TEST(LineQueue, KeepsEveryLossAmongTheLines) {
  const test_queue q;
  line_queue& queue = *q.queue;
  losses lost;
  lost.cuts = 1;
  constexpr std::size_t lines = 100000;
  std::string expected;
  for (std::size_t i = 0; i < lines; ++i) {
    const std::string line = line_of(i, 20);
    ASSERT_TRUE(queue_line(queue, line)) << i;
    add_losses(queue, lost);
    expected += line + "<0>";
  }
  EXPECT_EQ(untold_losses(queue).cuts, lines);
  EXPECT_EQ(unwritten_lines(queue), lines);
  std::string out;
  drain(queue, ~std::size_t{0}, out);
  EXPECT_TRUE(out == expected);
  EXPECT_TRUE(queue_empty(queue));
}

// Memory is taken as lines fill the first block, and a block at a time as
// the queue grows; it is given back once the output has taken the lines,
// but for the block in use and a few kept for what comes.
TEST(LineQueue, GivesBackTheMemoryOfWrittenLines) {
  const long page = sysconf(_SC_PAGESIZE);
  const auto resident = [page](const line_queue& queue) {
    std::vector<unsigned char> pages(queue_size / page);
    mincore(queue.memory, queue_size, pages.data());
    return std::count_if(pages.begin(), pages.end(),
                         [](unsigned char p) { return (p & 1) != 0; }) *
           page;
  };
  const test_queue q;
  line_queue& queue = *q.queue;
  EXPECT_EQ(resident(queue), 0);
  const std::string line = line_of(0, 4000);
  const std::size_t filled = 20 << 20;
  for (std::size_t i = 0; i < filled / line.size(); ++i) {
    ASSERT_TRUE(queue_line(queue, line));
    if (i == block_size / line.size()) {
      EXPECT_GE(resident(queue),
                static_cast<long>(2 * block_size - line.size()))
          << "the second block, just taken, has all its memory";
    }
  }
  EXPECT_GE(resident(queue), static_cast<long>(filled - line.size()));
  std::string out;
  drain(queue, filled / 2, out);
  const long kept = static_cast<long>((kept_blocks + 1) * block_size);
  EXPECT_LE(resident(queue), static_cast<long>(filled / 2) + kept);
  drain(queue, filled, out);
  EXPECT_LE(resident(queue), kept);
  // The blocks kept are taken again first: filling them takes no more than
  // the block in use.
  const long before = resident(queue);
  for (std::size_t i = 0; i < kept_blocks * block_size / line.size(); ++i) {
    ASSERT_TRUE(queue_line(queue, line));
  }
  EXPECT_LE(resident(queue), before + static_cast<long>(block_size));
  // Emptied again, the queue keeps as many as before.
  drain(queue, ~std::size_t{0}, out);
  EXPECT_GE(resident(queue), static_cast<long>(kept_blocks * block_size));
  EXPECT_LE(resident(queue), kept);
}

}  // namespace
