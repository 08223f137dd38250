// A routed network of network namespaces for the tests, and a router that
// answers chosen datagrams with an ICMP error some time later, as a distant
// router or a destination host that starts late would. Needs root.
#ifndef SUPPORT_NETWORK_H_
#define SUPPORT_NETWORK_H_

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>

// Three hosts in network namespaces of their own: a client at 198.18.1.1
// and a server at 198.18.2.1, each on a cable to a router between them that
// forwards (198.18.1.254 and 198.18.2.254). Removed when this goes away.
class routed_network {
 public:
  routed_network();
  ~routed_network();
  routed_network(const routed_network&) = delete;
  routed_network& operator=(const routed_network&) = delete;

  // Tells whether the network could be made, and if not, what the system
  // said.
  bool made() const { return why_not_.empty(); }
  const std::string& why_not() const { return why_not_; }
  // Takes the client's host off its cable: its sends find no route.
  void unplug() const;
  // The namespace file of each host, to run a program in.
  std::string client_host() const { return "/run/netns/" + name("client"); }
  std::string router_host() const { return "/run/netns/" + name("router"); }
  std::string server_host() const { return "/run/netns/" + name("server"); }

 private:
  std::string name(const char* role) const;
  std::string why_not_;
};

constexpr char client_address[] = "198.18.1.1";
constexpr char server_address[] = "198.18.2.1";

// What the router answers: the first `count` UDP datagrams from the client,
// each with an ICMP error of `type` and `code`, `delay` after it passed.
struct late_errors {
  int type;
  int code;
  long count;
  std::chrono::microseconds delay;
};

// The most datagrams a router answers and records.
constexpr long most_answers = 32768;

// What the router did, as it did it: when it saw the client's datagrams and
// when it sent each answer.
struct router_log {
  using clock = std::chrono::steady_clock;
  long seen = 0;      // UDP datagrams from the client
  long answered = 0;  // errors sent back
  clock::time_point last_seen{};
  clock::time_point seen_at[most_answers];      // of each datagram answered
  clock::time_point answered_at[most_answers];  // when its error went
};

// A router_log in memory shared with the processes this one starts;
// unmapped when this goes away.
class shared_router_log {
 public:
  shared_router_log();
  ~shared_router_log();
  shared_router_log(const shared_router_log&) = delete;
  shared_router_log& operator=(const shared_router_log&) = delete;
  router_log& operator*() const { return *log_; }
  router_log* operator->() const { return log_; }

 private:
  router_log* log_;
};

// An ICMP error quotes the datagram's IP header, at most this long, and the
// first eight bytes after it: its UDP header.
constexpr std::size_t longest_quote = 60 + 8;

// Writes into `quote` the start of the UDP datagram from `from` to `to` as
// an ICMP error quotes it; gives its length.
std::size_t quote_datagram(const sockaddr_in& from, const sockaddr_in& to,
                           unsigned char (&quote)[longest_quote]);

// Sends to `to`, on the raw ICMP socket `raw`, the error of `type` and
// `code` that quotes the `size` bytes of `quote`, as anyone on a datagram's
// path may; tells whether it went.
bool send_icmp_error(int raw, int type, int code, const unsigned char* quote,
                     std::size_t size, in_addr to);

// Starts, in the router's namespace, a child that answers as `plan` says
// and writes what it did into `log`, until it is killed; gives its PID, or
// -1 if it cannot start.
pid_t start_late_errors(const routed_network& network, const late_errors& plan,
                        router_log& log);

#endif  // SUPPORT_NETWORK_H_
