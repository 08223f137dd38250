#include "common/sandbox.h"

#include "common/console.h"

#if SANDBOX

#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace {

// Ends a group's calls, of which there are this many at most.
constexpr int no_call = -1;
constexpr std::size_t group_size = 8;

// System calls let through together, for one reason each.
struct call_group {
  int calls[group_size];
};

// What both programs do once set up.
constexpr call_group both_calls[] = {
    // write to the console, and tell
    {{SCMP_SYS(write), no_call}},
    // wait for a descriptor, a signal or a while
    {{SCMP_SYS(ppoll), SCMP_SYS(poll), SCMP_SYS(restart_syscall), no_call}},
    // clocks, where the fast path is missing
    {{SCMP_SYS(clock_gettime), SCMP_SYS(gettimeofday), no_call}},
    // return from a signal handler
    {{SCMP_SYS(rt_sigreturn), no_call}},
    // memory the C library may take (never executable: see below)
    {{SCMP_SYS(brk), SCMP_SYS(munmap), SCMP_SYS(madvise), no_call}},
    // end
    {{SCMP_SYS(exit_group), SCMP_SYS(exit), no_call}},
};

// The server's own: it takes datagrams, writes lines to an output that may
// be a socket, and ends by the stop signal that came.
constexpr call_group server_calls[] = {
    // take datagrams, and learn the system's count of drops
    {{SCMP_SYS(recvmmsg), SCMP_SYS(getsockopt), no_call}},
    // write lines to an output that is a socket, and cut short a write to
    // one that could wait
    {{SCMP_SYS(sendto), SCMP_SYS(timer_settime), no_call}},
    // hold back and let in the stop signals, and end by one
    {{SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigaction), SCMP_SYS(getpid),
      SCMP_SYS(gettid), SCMP_SYS(tgkill), no_call}},
};

// The client's own: it reads the console, sends sentences and takes the
// errors that come back.
constexpr call_group client_calls[] = {
    // read the console
    {{SCMP_SYS(read), no_call}},
    // send sentences, take the errors that come back, and learn whether
    // the system had room for their reports
    {{SCMP_SYS(sendto), SCMP_SYS(recvmsg), SCMP_SYS(getsockopt), no_call}},
};

bool allow(scmp_filter_ctx filter, const call_group& group) {
  for (const int call : group.calls) {
    if (call == no_call) break;
    if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) != 0) return false;
  }
  return true;
}

// Builds and loads the filter of `who`; gives 0, or a negative errno.
int load_filter(sandbox_for who) {
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
  if (filter == nullptr) return -ENOMEM;
  bool added = true;
  for (const call_group& group : both_calls)
    added = added && allow(filter, group);
  if (who == sandbox_for::server) {
    for (const call_group& group : server_calls) {
      added = added && allow(filter, group);
    }
  } else {
    for (const call_group& group : client_calls) {
      added = added && allow(filter, group);
    }
    // Whether the console is a terminal, and nothing else a terminal does.
    added = added && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(ioctl),
                                      1, SCMP_A1(SCMP_CMP_EQ, TCGETS)) == 0;
  }
  // Memory for the C library, never executable.
  added =
      added && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(mmap), 1,
                                SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)) == 0;
  const int loaded = added ? seccomp_load(filter) : -EINVAL;
  seccomp_release(filter);
  return loaded;
}

}  // namespace

void confine(const char* program, sandbox_for who) {
  // Nothing this process starts from now on may gain privileges either.
  int result = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 ? 0 : -errno;
  if (result == 0) result = load_filter(who);
  if (result != 0) {
    tell(program, "cannot confine itself, going on: %s",
         std::strerror(-result));
  }
}

#else

void confine(const char*, sandbox_for) {}

#endif
