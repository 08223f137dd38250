#include "server/losses.h"

#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <cstdio>

void add_up(losses& into, const losses& more) {
  into.system_drops += more.system_drops;
  into.queue_drops += more.queue_drops;
  into.cuts += more.cuts;
  into.refused += more.refused;
  into.not_shown += more.not_shown;
}

bool any(const losses& lost) {
  return lost.system_drops != 0 || lost.queue_drops != 0 || lost.cuts != 0 ||
         lost.refused != 0 || lost.not_shown != 0;
}

namespace {

// Appends "<program>: <count> datagram(s) <what>" and a line end to the
// `length` bytes of `text`, if it counts any and fits.
void append_count(char* text, std::size_t size, std::size_t& length,
                  const char* program, unsigned long count, const char* what) {
  if (count == 0) return;
  const int n =
      std::snprintf(text + length, size - length, "%s: %lu %s %s\n", program,
                    count, count == 1 ? "datagram" : "datagrams", what);
  if (n > 0 && static_cast<std::size_t>(n) < size - length) {
    length += static_cast<std::size_t>(n);
  }
}

}  // namespace

std::size_t format_losses(const char* program, const losses& lost, char* text,
                          std::size_t size) {
  std::size_t length = 0;
  // Cuts concern lines already shown: they come first.
  char cut[message_line_size];
  std::snprintf(cut, sizeof cut, "cut to %s first %zu bytes",
                lost.cuts == 1 ? "its" : "their", max_shown_length);
  append_count(text, size, length, program, lost.cuts, cut);
  append_count(text, size, length, program, lost.system_drops,
               "dropped: receive queue full");
  append_count(text, size, length, program, lost.queue_drops,
               "dropped: output queue full");
  append_count(text, size, length, program, lost.refused,
               "not shown: refused by standard output");
  append_count(text, size, length, program, lost.not_shown,
               "not shown: the server stopped first");
  return length;
}

bool drops_if_empty(int sock, std::uint32_t& drops) {
  std::uint32_t memory[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof memory;
  if (getsockopt(sock, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0 ||
      length <= SK_MEMINFO_DROPS * sizeof memory[0]) {
    return false;
  }
  // A queue that holds nothing takes no memory.
  if (memory[SK_MEMINFO_RMEM_ALLOC] != 0) return false;
  drops = memory[SK_MEMINFO_DROPS];
  return true;
}
