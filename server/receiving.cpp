#include "server/receiving.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/receive_room.h"

int open_socket(std::uint16_t port) {
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -1;
  // A deep queue rides out a moment when the server is not scheduled.
  deepen_queue(sock);
  // Each datagram brings the count of drops before it, from its arrival on.
  const int on = 1;
  setsockopt(sock, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);

  sockaddr_in local;
  std::memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  local.sin_port = port;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    const int error = errno;
    close(sock);
    errno = error;
    return -1;
  }
  return sock;
}

void prepare_batch(datagram_batch& batch) {
  std::memset(batch.messages, 0, sizeof batch.messages);
  for (std::size_t i = 0; i < receive_batch; ++i) {
    batch.parts[i].iov_base = batch.buffers[i];
    batch.parts[i].iov_len = sizeof batch.buffers[i];
    msghdr& header = batch.messages[i].msg_hdr;
    header.msg_name = &batch.senders[i];
    header.msg_namelen = sizeof batch.senders[i];
    header.msg_iov = &batch.parts[i];
    header.msg_iovlen = 1;
    header.msg_control = batch.controls[i];
    header.msg_controllen = sizeof batch.controls[i];
  }
}

int take_batch(int sock, datagram_batch& batch) {
  // Each receive sets the lengths to what it filled in.
  for (std::size_t i = 0; i < receive_batch; ++i) {
    batch.messages[i].msg_hdr.msg_namelen = sizeof batch.senders[i];
    batch.messages[i].msg_hdr.msg_controllen = sizeof batch.controls[i];
  }
  const int count =
      recvmmsg(sock, batch.messages, receive_batch, MSG_DONTWAIT, nullptr);
  if (count >= 0) return count;
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

std::uint32_t drops_before(const datagram_batch& batch, int index) {
  // The count comes only once the system has dropped anything.
  const msghdr& header = batch.messages[index].msg_hdr;
  for (const cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr;
       c = CMSG_NXTHDR(const_cast<msghdr*>(&header), const_cast<cmsghdr*>(c))) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
      std::uint32_t drops;
      std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
      return drops;
    }
  }
  return 0;
}

unsigned long count_queued(int sock, datagram_batch& batch,
                           std::chrono::milliseconds limit,
                           std::uint32_t& drops) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  unsigned long counted = 0;
  int count;
  while ((count = take_batch(sock, batch)) > 0) {
    counted += static_cast<unsigned long>(count);
    drops = drops_before(batch, count - 1);
    if (std::chrono::steady_clock::now() >= deadline) break;
  }
  return counted;
}
