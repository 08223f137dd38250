// The server's socket: opened with the deepest receive queue the system
// allows, read a batch of datagrams at a time, each with the system's count
// of the datagrams it dropped before that one arrived.
#ifndef SERVER_RECEIVING_H_
#define SERVER_RECEIVING_H_

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "common/receive_room.h"
#include "common/sizes.h"

// The server takes up to this many queued datagrams with one call.
constexpr std::size_t receive_batch = 32;

// Datagrams taken with one call, and where each one's parts land.
struct datagram_batch {
  char buffers[receive_batch][message_buffer_size];
  sockaddr_in senders[receive_batch];
  iovec parts[receive_batch];
  // Room for each datagram's drop count.
  alignas(
      cmsghdr) char controls[receive_batch][CMSG_SPACE(sizeof(std::uint32_t))];
  mmsghdr messages[receive_batch];
};

// Opens a UDP socket bound to `port` (network order) on every local IPv4
// address; -1 with errno if it cannot.
int open_socket(std::uint16_t port);

// Points each message of `batch` at its parts; done once, before the first
// take.
void prepare_batch(datagram_batch& batch);

// Takes up to a batch of the datagrams queued on `sock`, without waiting.
// Gives how many it took, 0 if it holds none, or -1 with errno if receiving
// failed.
int take_batch(int sock, datagram_batch& batch);

// The system's count of the datagrams dropped for the socket before datagram
// `index` of the batch arrived; the count wraps around.
std::uint32_t drops_before(const datagram_batch& batch, int index);

// Takes and counts, without showing them, the datagrams still queued on
// `sock`, for at most `limit`; `drops` ends as the system's drop count before
// the last one taken, if any was.
unsigned long count_queued(int sock, datagram_batch& batch,
                           std::chrono::milliseconds limit,
                           std::uint32_t& drops);

#endif  // SERVER_RECEIVING_H_
