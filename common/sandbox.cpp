#include "common/sandbox.h"

#include "common/console.h"

#if SANDBOX

#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The most calls a filter lets through.
constexpr std::size_t most_calls = 64;

// Calls let through already, so that one in two groups is added once.
struct added_calls {
  int numbers[most_calls];
  std::size_t count = 0;
};

// Lets `name` through, on the conditions its name calls for; false if it
// cannot.
bool allow_call(scmp_filter_ctx filter, const char* name, added_calls& added) {
  const int call = seccomp_syscall_resolve_name(name);
  if (call == __NR_SCMP_ERROR || added.count == most_calls) return false;
  const int* const begin = added.numbers;
  const int* const end = begin + added.count;
  if (std::find(begin, end, call) != end) return true;
  added.numbers[added.count++] = call;
  if (call == SCMP_SYS(sendto)) {
    // What send makes: no address, so only to the connected peer.
    return seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 1,
                            SCMP_A4(SCMP_CMP_EQ, 0)) == 0;
  }
  if (call == SCMP_SYS(mmap)) {
    return seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 1,
                            SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)) == 0;
  }
  if (call == SCMP_SYS(ioctl)) {
    return seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 1,
                            SCMP_A1(SCMP_CMP_EQ, TCGETS)) == 0;
  }
  return seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) == 0;
}

template <std::size_t groups>
bool allow(scmp_filter_ctx filter, const call_group (&table)[groups],
           added_calls& added) {
  for (const call_group& group : table) {
    for (const char* name : group.calls) {
      if (name == nullptr) break;
      if (!allow_call(filter, name, added)) return false;
    }
  }
  return true;
}

// Builds and loads the filter of `who`; gives 0, or a negative errno.
int load_filter(sandbox_for who) {
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
  if (filter == nullptr) return -ENOMEM;
  added_calls added;
  const bool allowed =
      allow(filter, both_calls, added) &&
      (who == sandbox_for::server ? allow(filter, server_calls, added)
                                  : allow(filter, client_calls, added));
  const int loaded = allowed ? seccomp_load(filter) : -EINVAL;
  seccomp_release(filter);
  return loaded;
}

// Lowers the limits so that, past the filter too, no descriptor can be
// opened (every number a new one could take is at or above the limit, while
// the waits watch no more than it) and no process started (for any user but
// one the system exempts, such as root, whom the filter holds). The file
// size is not limited: a regular file may be the output.
int lower_limits() {
  const rlimit descriptors = {watched_descriptors, watched_descriptors};
  const rlimit processes = {0, 0};
  if (setrlimit(RLIMIT_NOFILE, &descriptors) != 0 ||
      setrlimit(RLIMIT_NPROC, &processes) != 0) {
    return -errno;
  }
  return 0;
}

}  // namespace

void confine(const char* program, sandbox_for who) {
  // Nothing this process starts from now on may gain privileges either.
  int result = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 ? 0 : -errno;
  if (result == 0) result = lower_limits();
  if (result == 0) result = load_filter(who);
  if (result != 0) {
    tell(program, "cannot confine itself, going on: %s",
         std::strerror(-result));
  }
}

#else

void confine(const char*, sandbox_for) {}

#endif
