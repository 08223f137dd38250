#include "common/receive_room.h"

#include <sys/socket.h>

namespace {

// Gives the size of the receive queue of `sock`, as the system accounts it.
int queue_size(int sock) {
  int size = 0;
  socklen_t length = sizeof size;
  return getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, &length) == 0 ? size
                                                                      : 0;
}

}  // namespace

int deepen_queue(int sock) {
  // The system caps a request at its own maximum; a privileged process may
  // pass that cap. A refusal is no reason to stop: what is granted is kept.
  const int all = 1 << 30;
  setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &all, sizeof all);
  if (queue_size(sock) < static_cast<int>(deepest_queue)) {
    // The system doubles what it is asked for, to allow for its overhead.
    const int forced = static_cast<int>(deepest_queue / 2);
    setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &forced, sizeof forced);
  }
  return queue_size(sock);
}
