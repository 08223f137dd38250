#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/net_tstamp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "client/destination.h"
#include "client/sending.h"
#include "support/udp.h"

namespace {

TEST(ParseAddress, TakesANumericAddressWithBlanksAroundItAndNothingElse) {
  const struct {
    std::string text;
    const char* address;  // nullptr when refused
  } cases[] = {
      {"127.0.0.1", "127.0.0.1"},
      {" 127.0.0.1", "127.0.0.1"},
      {"127.0.0.1 \t", "127.0.0.1"},
      {"127.1", "127.0.0.1"},
      {"0x7f.0.0.1", "127.0.0.1"},
      {"2130706433", "127.0.0.1"},
      {"127.0.0.1 junk", nullptr},
      {"127.0.0.1\tx", nullptr},
      {"localhost", nullptr},
      {"", nullptr},
      {"  ", nullptr},
      {"999.1.1.1", nullptr},
      {"1.2.3.4.5", nullptr},
      {"127.0.0.1\vjunk", nullptr},
      {"127.0.0.1\fjunk", nullptr},
      {"127.0.0.1\rjunk", nullptr},
      {"127.0.0.1\n", nullptr},
      {std::string("127.0.0.1\0junk", 14), nullptr},
      {std::string("127.0.0.1\0", 10), nullptr},
      {"\x1b[2J127.0.0.1", nullptr},
      {"\t 10.0.0.9\t ", "10.0.0.9"},
  };
  for (const auto& c : cases) {
    in_addr address{};
    const bool parsed = parse_address(c.text.data(), c.text.size(), address);
    EXPECT_EQ(parsed, c.address != nullptr) << '"' << c.text << '"';
    if (parsed && c.address != nullptr) {
      EXPECT_EQ(std::string(inet_ntoa(address)), c.address) << c.text;
    }
  }
}

// Errors that come back count sentences, never more than were sent, and
// are kept apart by reason.
TEST(CountError, CountsAtMostTheSentencesSentByReason) {
  using counts = std::vector<std::pair<int, unsigned long>>;
  const struct {
    const char* name;
    unsigned long sent;
    std::vector<int> reasons;
    unsigned long returned;
    counts untold;
  } cases[] = {
      {"one refusal", 3, {ECONNREFUSED}, 1, {{ECONNREFUSED, 1}}},
      {"more errors than sentences",
       2,
       {ECONNREFUSED, ECONNREFUSED, ECONNREFUSED, ECONNREFUSED},
       2,
       {{ECONNREFUSED, 2}}},
      {"none sent", 0, {EHOSTUNREACH}, 0, {}},
      {"two reasons",
       5,
       {EHOSTUNREACH, ECONNREFUSED, EHOSTUNREACH},
       3,
       {{EHOSTUNREACH, 2}, {ECONNREFUSED, 1}}},
  };
  for (const auto& c : cases) {
    returned_errors errors;
    errors.sent = c.sent;
    for (const int reason : c.reasons) count_error(errors, reason);
    counts untold;
    for (const auto& slot : errors.reasons) {
      if (slot.untold != 0) untold.emplace_back(slot.reason, slot.untold);
    }
    EXPECT_EQ(errors.returned, c.returned) << c.name;
    EXPECT_EQ(untold, c.untold) << c.name;
  }
}

// The system queues entries of its own beside the errors that come back
// (here, a time stamp for each datagram sent): they count no sentence.
TEST(CountReturned, CountsOnlyErrorsThatCameBackFromTheNetwork) {
  const udp_socket receiver;
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  const int on = 1;
  const int stamps = SOF_TIMESTAMPING_TX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE;
  const sockaddr_in to = loopback_address(receiver.port());
  ASSERT_EQ(setsockopt(sock, SOL_IP, IP_RECVERR, &on, sizeof on), 0);
  ASSERT_EQ(
      setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPING, &stamps, sizeof stamps), 0);
  ASSERT_EQ(connect(sock, reinterpret_cast<const sockaddr*>(&to), sizeof to),
            0);
  returned_errors errors;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(send_sentence(sock, "x", errors));
  EXPECT_EQ(count_returned(sock, errors), 0U);
  EXPECT_EQ(errors.sent, 3U);
  EXPECT_EQ(errors.returned, 0U);
  close(sock);
}

}  // namespace
