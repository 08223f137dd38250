#include "server/losses.h"

#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <cstdio>

#include "common/console.h"
#include "common/sizes.h"

namespace {

// Tells "<count> datagram(s) <what>".
bool tell_count(bool at_once, unsigned long count, const char* what) {
  const char* noun = count == 1 ? "datagram" : "datagrams";
  return at_once ? tell_at_once("server", "%lu %s %s", count, noun, what)
                 : tell("server", "%lu %s %s", count, noun, what);
}

}  // namespace

bool has_untold(const loss_count& losses) {
  return losses.known_drops != losses.told_drops || losses.untold_cuts > 0;
}

void learn_drops_if_empty(int sock, loss_count& losses) {
  std::uint32_t memory[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof memory;
  if (getsockopt(sock, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0 ||
      length <= SK_MEMINFO_DROPS * sizeof memory[0]) {
    return;
  }
  // A queue that holds nothing takes no memory.
  if (memory[SK_MEMINFO_RMEM_ALLOC] == 0) {
    losses.known_drops = memory[SK_MEMINFO_DROPS];
  }
}

bool tell_losses(loss_count& losses, bool at_once) {
  bool told = false;
  // The system's count wraps around, and so does the difference.
  const std::uint32_t drops = losses.known_drops - losses.told_drops;
  if (drops != 0 && tell_count(at_once, drops, "dropped: receive queue full")) {
    losses.told_drops = losses.known_drops;
    told = true;
  }
  if (losses.untold_cuts != 0) {
    char cut[sizeof "cut to their first 18446744073709551615 bytes"];
    std::snprintf(cut, sizeof cut, "cut to their first %zu bytes",
                  max_shown_length);
    if (tell_count(at_once, losses.untold_cuts, cut)) {
      losses.untold_cuts = 0;
      told = true;
    }
  }
  return told;
}

void tell_not_shown(const loss_count& losses, bool at_once) {
  if (losses.not_shown != 0) {
    tell_count(at_once, losses.not_shown,
               "not shown: the server stopped first");
  }
}
