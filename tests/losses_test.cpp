#include "server/losses.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "server/receiving.h"
#include "support/udp.h"

namespace {

// A queue too small for a burst drops most of it; the whole count is taken
// only from an empty queue, and the datagrams after the drops bring it.
TEST(Losses, LearnsTheDropCountFromAnEmptyQueueOrTheDatagramsAfter) {
  constexpr long burst = 50;
  for (const bool drained : {false, true}) {
    SCOPED_TRACE(drained ? "drained" : "still queued");
    const int sock = open_socket(0);
    ASSERT_GE(sock, 0);
    const int small = 2048;
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(sock, reinterpret_cast<sockaddr*>(&local), &length);
    const udp_socket sender;
    for (long i = 0; i < burst; ++i) {
      sender.send_to(ntohs(local.sin_port), std::to_string(i) + '\0');
    }
    static datagram_batch batch;
    prepare_batch(batch);
    long received = 0;
    for (int taken; drained && (taken = take_batch(sock, batch, false)) > 0;) {
      received += taken;
    }
    std::uint32_t drops = 0;
    EXPECT_EQ(drops_if_empty(sock, drops), drained);
    const std::uint32_t dropped = static_cast<std::uint32_t>(burst - received);
    EXPECT_EQ(drops, drained ? dropped : 0);
    if (drained) {
      EXPECT_GT(dropped, 0U);
      sender.send_to(ntohs(local.sin_port), "after");
      ASSERT_EQ(take_batch(sock, batch, true), 1);
      EXPECT_EQ(drops_before(batch, 0), dropped);
    }
    close(sock);
  }
  // A failed query keeps what was known.
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  std::uint32_t drops = 7;
  EXPECT_FALSE(drops_if_empty(pipe_ends[0], drops));
  EXPECT_EQ(drops, 7U);
  close(pipe_ends[0]);
  close(pipe_ends[1]);
}

}  // namespace
