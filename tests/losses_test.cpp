#include "server/losses.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
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
    for (int taken; drained && (taken = take_batch(sock, batch)) > 0;) {
      received += taken;
    }
    std::uint32_t drops = 0;
    EXPECT_EQ(drops_if_empty(sock, drops), drained);
    const std::uint32_t dropped = static_cast<std::uint32_t>(burst - received);
    EXPECT_EQ(drops, drained ? dropped : 0);
    if (drained) {
      EXPECT_GT(dropped, 0U);
      sender.send_to(ntohs(local.sin_port), "after");
      ASSERT_EQ(take_batch(sock, batch), 1);
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

// The port `sock` is bound to.
std::uint16_t port_of(int sock) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  getsockname(sock, reinterpret_cast<sockaddr*>(&local), &length);
  return ntohs(local.sin_port);
}

// At the stop, the datagrams still queued are counted for a limited time,
// and the drops learnt are those before the last datagram taken: with drops
// between the queued datagrams, the first of a batch brings too few.
TEST(CountQueued, TakesTheDropsBeforeTheLastDatagramAndStopsInTime) {
  static datagram_batch batch;
  prepare_batch(batch);
  const udp_socket sender;
  enum class queued { drops_between, more_than_a_batch };
  const struct {
    const char* name;
    queued held;
    std::chrono::milliseconds limit;
  } cases[] = {
      {"drops between the datagrams queued", queued::drops_between,
       std::chrono::seconds(1)},
      {"no time left: one batch", queued::more_than_a_batch,
       std::chrono::milliseconds(0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int sock = open_socket(0);
    ASSERT_GE(sock, 0);
    const std::uint16_t port = port_of(sock);
    long held = 0;
    long dropped = 0;
    if (c.held == queued::drops_between) {
      const int small = 2048;
      setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
      for (int i = 0; i < 50; ++i) sender.send_to(port, "before");
      dropped = state_of_udp_port(port).drops;
      ASSERT_GT(dropped, 0);
      // The room of two taken (the system gives it back in lumps) goes to
      // one datagram after the drops.
      char byte;
      for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(recv(sock, &byte, sizeof byte, MSG_DONTWAIT), 1);
      }
      sender.send_to(port, "after");
      ASSERT_EQ(state_of_udp_port(port).drops, dropped);
      held = 50 - dropped - 1;
    } else {
      held = 10 * static_cast<long>(receive_batch);
      for (long i = 0; i < held; ++i) sender.send_to(port, "more");
    }
    std::uint32_t drops = 0;
    const unsigned long counted = count_queued(sock, batch, c.limit, drops);
    if (c.held == queued::drops_between) {
      EXPECT_EQ(counted, static_cast<unsigned long>(held));
      EXPECT_EQ(drops, static_cast<std::uint32_t>(dropped));
    } else {
      EXPECT_EQ(counted, receive_batch);
    }
    close(sock);
  }
}

}  // namespace
