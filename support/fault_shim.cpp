// A library that the tests preload into a program, to act as a fault inside
// it would once the program is confined: the server's first take of
// datagrams and the client's first send come after that. SENTENCES_SHIM
// says what it does:
// - "abort": calls abort(), as a check the C library makes would;
// - "elsewhere": tries to reach 127.0.0.2 at the port in SENTENCES_SHIM_PORT
//   by every call that names an address, saying on standard error how each
//   ended ("shim: sendto: Operation not permitted"), then lets the send go;
// - "hangup": fails the first write of lines (what begins with an address)
//   and every later write to that descriptor with EIO, and raises SIGHUP
//   with the first: a terminal that hangs up makes both at once.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool wants(const char* what) {
  const char* mode = std::getenv("SENTENCES_SHIM");
  return mode != nullptr && std::strcmp(mode, what) == 0;
}

// Says how one try ended.
void say(const char* call, int result) {
  char line[128];
  const int n = std::snprintf(line, sizeof line, "shim: %s: %s\n", call,
                              result < 0 ? std::strerror(errno) : "sent");
  if (n > 0 && write(STDERR_FILENO, line, static_cast<std::size_t>(n)) < 0) {
    return;
  }
}

// Tries each way of sending to another host from `sock`.
void try_elsewhere(int sock) {
  const char* port = std::getenv("SENTENCES_SHIM_PORT");
  sockaddr_in other{};
  other.sin_family = AF_INET;
  other.sin_port =
      htons(static_cast<std::uint16_t>(port != nullptr ? std::atoi(port) : 9));
  inet_pton(AF_INET, "127.0.0.2", &other.sin_addr);
  auto* const to = reinterpret_cast<const sockaddr*>(&other);
  char byte = 'x';
  say("sendto", static_cast<int>(sendto(sock, &byte, 1, 0, to, sizeof other)));
  iovec part = {&byte, 1};
  msghdr message{};
  message.msg_name = &other;
  message.msg_namelen = sizeof other;
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  say("sendmsg", static_cast<int>(sendmsg(sock, &message, 0)));
  mmsghdr messages[1] = {{message, 0}};
  say("sendmmsg", sendmmsg(sock, messages, 1, 0));
  say("connect", connect(sock, to, sizeof other));
}

// Tells whether this is the first call the shim has seen: it acts once.
bool first_call() {
  static bool seen = false;
  const bool first = !seen;
  seen = true;
  return first;
}

}  // namespace

extern "C" ssize_t send(int sock, const void* data, std::size_t size,
                        int flags) {
  using send_call = ssize_t (*)(int, const void*, std::size_t, int);
  static const auto next =
      reinterpret_cast<send_call>(dlsym(RTLD_NEXT, "send"));
  if (first_call()) {
    if (wants("abort")) std::abort();
    if (wants("elsewhere")) try_elsewhere(sock);
  }
  return next(sock, data, size, flags);
}

extern "C" ssize_t write(int fd, const void* data, std::size_t size) {
  using write_call = ssize_t (*)(int, const void*, std::size_t);
  static const auto next =
      reinterpret_cast<write_call>(dlsym(RTLD_NEXT, "write"));
  static int hung_up = -1;
  if (wants("hangup") &&
      (fd == hung_up ||
       (hung_up < 0 && size > 0 &&
        std::isdigit(*static_cast<const unsigned char*>(data)) != 0))) {
    const bool first = hung_up < 0;
    hung_up = fd;
    if (first) std::raise(SIGHUP);
    errno = EIO;
    return -1;
  }
  return next(fd, data, size);
}

extern "C" int recvmmsg(int sock, mmsghdr* messages, unsigned int count,
                        int flags, timespec* timeout) {
  using take_call = int (*)(int, mmsghdr*, unsigned int, int, timespec*);
  static const auto next =
      reinterpret_cast<take_call>(dlsym(RTLD_NEXT, "recvmmsg"));
  if (first_call() && wants("abort")) std::abort();
  return next(sock, messages, count, flags, timeout);
}
