#include "support/network.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <stdexcept>

#include "support/process.h"

namespace {

bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs `command` in a shell; gives what it said when it fails, else "".
std::string run_saying(const std::string& command) {
  FILE* const shell = popen(("{ " + command + "; } 2>&1").c_str(), "r");
  if (shell == nullptr) return "cannot start a shell";
  std::string said;
  char chunk[256];
  for (std::size_t n; (n = fread(chunk, 1, sizeof chunk, shell)) > 0;) {
    said.append(chunk, n);
  }
  if (pclose(shell) == 0) return "";
  return said.empty() ? "it failed, saying nothing" : said;
}

// The Internet checksum of `length` bytes.
std::uint16_t checksum(const void* data, std::size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < length; i += 2) {
    sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  }
  if (length % 2 != 0) {
    sum += static_cast<std::uint32_t>(bytes[length - 1] << 8);
  }
  while (sum >> 16 != 0) sum = (sum & 0xffff) + (sum >> 16);
  return htons(static_cast<std::uint16_t>(~sum));
}

// An error due to go back to the client, and what it quotes.
struct answer {
  process_clock::time_point due;
  std::size_t size;
  unsigned char quote[longest_quote];
};

// Answers, in the router's namespace, the client's datagrams that come in on
// the client's side as `plan` says, and notes what it did in `log`; returns
// only if it cannot.
int answer_late(const late_errors& plan, router_log& log) {
  const int tap = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
  const int raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  sockaddr_ll side{};
  side.sll_family = AF_PACKET;
  side.sll_protocol = htons(ETH_P_IP);
  side.sll_ifindex = static_cast<int>(if_nametoindex("r0"));
  if (tap < 0 || raw < 0 ||
      bind(tap, reinterpret_cast<sockaddr*>(&side), sizeof side) != 0) {
    return 1;
  }
  // Room for every datagram of a burst until it is looked at.
  const int room = 64 << 20;
  setsockopt(tap, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
  in_addr client{};
  inet_pton(AF_INET, client_address, &client);
  std::deque<answer> pending;
  for (;;) {
    timespec wait{};
    if (!pending.empty()) {
      const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
          pending.front().due - process_clock::now());
      const long nanoseconds = std::max<long>(left.count(), 0);
      wait.tv_sec = nanoseconds / 1000000000;
      wait.tv_nsec = nanoseconds % 1000000000;
    }
    pollfd incoming = {tap, POLLIN, 0};
    ppoll(&incoming, 1, pending.empty() ? nullptr : &wait, nullptr);
    unsigned char packet[2048];
    sockaddr_ll from{};
    socklen_t from_size = sizeof from;
    const ssize_t n =
        (incoming.revents & POLLIN) != 0
            ? recvfrom(tap, packet, sizeof packet, MSG_DONTWAIT,
                       reinterpret_cast<sockaddr*>(&from), &from_size)
            : -1;
    iphdr ip{};
    if (n >= static_cast<ssize_t>(sizeof ip))
      std::memcpy(&ip, packet, sizeof ip);
    const std::size_t quoted = std::size_t{ip.ihl} * 4 + sizeof(udphdr);
    if (n >= static_cast<ssize_t>(quoted) && ip.version == 4 &&
        ip.protocol == IPPROTO_UDP && ip.saddr == client.s_addr &&
        from.sll_pkttype != PACKET_OUTGOING) {
      const auto now = process_clock::now();
      log.last_seen = now;
      const long index = log.seen++;
      if (index < plan.count && index < most_answers) {
        log.seen_at[index] = now;
        answer a{now + plan.delay, quoted, {}};
        std::memcpy(a.quote, packet, quoted);
        pending.push_back(a);
      }
    }
    while (!pending.empty() && pending.front().due <= process_clock::now()) {
      const answer& a = pending.front();
      if (send_icmp_error(raw, plan.type, plan.code, a.quote, a.size, client)) {
        log.answered_at[log.answered] = process_clock::now();
        ++log.answered;
      }
      pending.pop_front();
    }
  }
}

}  // namespace

std::size_t quote_datagram(const sockaddr_in& from, const sockaddr_in& to,
                           unsigned char (&quote)[longest_quote]) {
  constexpr std::size_t payload = 2;  // the quoted datagram's, say
  iphdr ip{};
  ip.version = 4;
  ip.ihl = sizeof ip / 4;
  ip.tot_len = htons(sizeof ip + sizeof(udphdr) + payload);
  ip.ttl = 64;
  ip.protocol = IPPROTO_UDP;
  ip.saddr = from.sin_addr.s_addr;
  ip.daddr = to.sin_addr.s_addr;
  std::memcpy(quote, &ip, sizeof ip);
  ip.check = checksum(quote, sizeof ip);
  std::memcpy(quote, &ip, sizeof ip);
  udphdr udp{};
  udp.source = from.sin_port;
  udp.dest = to.sin_port;
  udp.len = htons(sizeof udp + payload);
  std::memcpy(quote + sizeof ip, &udp, sizeof udp);
  return sizeof ip + sizeof udp;
}

bool send_icmp_error(int raw, int type, int code, const unsigned char* quote,
                     std::size_t size, in_addr to) {
  unsigned char packet[sizeof(icmphdr) + longest_quote];
  icmphdr header{};
  header.type = static_cast<std::uint8_t>(type);
  header.code = static_cast<std::uint8_t>(code);
  header.un.frag.mtu = htons(65535);  // read with "fragmentation needed" only
  std::memcpy(packet, &header, sizeof header);
  std::memcpy(packet + sizeof header, quote, size);
  const std::size_t length = sizeof header + size;
  header.checksum = checksum(packet, length);
  std::memcpy(packet, &header, sizeof header);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr = to;
  return sendto(raw, packet, length, 0,
                reinterpret_cast<const sockaddr*>(&address),
                sizeof address) == static_cast<ssize_t>(length);
}

std::string routed_network::name(const char* role) const {
  return std::string("sentences-") + role + "-" + std::to_string(getpid());
}

routed_network::routed_network() {
  const std::string client = name("client");
  const std::string router = name("router");
  const std::string server = name("server");
  const std::string in_client = "ip -n " + client + " ";
  const std::string in_router = "ip -n " + router + " ";
  const std::string in_server = "ip -n " + server + " ";
  why_not_ = run_saying(
      "ip netns add " + client + " && ip netns add " + router +
      " && ip netns add " + server + " && ip link add c0 netns " + client +
      " type veth peer name r0 netns " + router + " && ip link add s0 netns " +
      server + " type veth peer name r1 netns " + router + " && " + in_client +
      "addr add " + client_address + "/24 dev c0 && " + in_router +
      "addr add 198.18.1.254/24 dev r0 && " + in_router +
      "addr add 198.18.2.254/24 dev r1 && " + in_server + "addr add " +
      server_address + "/24 dev s0 && " + in_client + "link set c0 up && " +
      in_router + "link set r0 up && " + in_router + "link set r1 up && " +
      in_server + "link set s0 up && " + in_client +
      "route add default via 198.18.1.254 && " + in_server +
      "route add default via 198.18.2.254 && ip netns exec " + router +
      " sh -c 'echo 1 > /proc/sys/net/ipv4/ip_forward'");
}

void routed_network::unplug() const {
  run("ip -n " + name("client") + " addr flush dev c0");
}

routed_network::~routed_network() {
  for (const char* role : {"client", "router", "server"}) {
    run("ip netns del " + name(role));
  }
}

shared_router_log::shared_router_log() {
  void* memory = mmap(nullptr, sizeof(router_log), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::runtime_error("cannot share memory");
  log_ = new (memory) router_log;
}

shared_router_log::~shared_router_log() { munmap(log_, sizeof(router_log)); }

pid_t start_late_errors(const routed_network& network, const late_errors& plan,
                        router_log& log) {
  const std::string router = network.router_host();
  try {
    return start_function([&router, &plan, &log] {
      return enter_network(router.c_str()) ? answer_late(plan, log) : 1;
    });
  } catch (const std::exception&) {
    return -1;
  }
}
