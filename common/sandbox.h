// What each program may still do once it is set up. A seccomp filter lets
// through only the system calls it then needs, a group for each reason,
// and makes any other fail with EPERM; its sends may carry no address, so
// they reach only the peer the socket was connected to. Behind the filter,
// resource limits let it open no new descriptor and start no process. So a
// fault in handling what comes from the network or the console can open no
// file, start no program and reach no other host with the user's rights,
// and an unexpected path gets an error, not a kill; a fault that the C
// library detects ends the program by SIGABRT.
#ifndef COMMON_SANDBOX_H_
#define COMMON_SANDBOX_H_

#include <cstddef>

// Whose calls the filter lets through.
enum class sandbox_for { server, client };

// The most calls in a group.
constexpr std::size_t group_size = 8;

// System calls let through together, for one reason, by the names the
// system gives them. A group made only on a rare path (a clock without its
// fast path, a wait restarted after SIGSTOP, memory the C library takes, a
// fault detected) is marked so: the pages say why it is there.
struct call_group {
  const char* reason;
  const char* calls[group_size];  // ends at the first null
  bool rare;
};

// What both programs may do once set up. `sendto` goes only where the
// socket is connected, `mmap` maps nothing executable, and `ioctl` only asks
// whether the console is a terminal.
inline constexpr call_group both_calls[] = {
    {"write to the console, and tell", {"write"}, false},
    {"end", {"exit_group"}, false},
    {"clocks, where the fast path is missing",
     {"clock_gettime", "gettimeofday"},
     true},
    {"memory the C library may take, never executable",
     {"brk", "mmap", "munmap"},
     true},
    {"go on with a wait after SIGSTOP and SIGCONT", {"restart_syscall"}, true},
    {"tell a fault the C library detects and end by SIGABRT",
     {"writev", "rt_sigprocmask", "gettid", "getpid", "tgkill"},
     true},
};

// The server's own: it takes datagrams, writes lines to an output that may
// be a connected socket or one it cannot open without waiting, gives back
// its queue's memory, and ends by the stop signal that came.
inline constexpr call_group server_calls[] = {
    {"take datagrams, and learn the system's count of drops",
     {"recvmmsg", "getsockopt"},
     false},
    {"wait for the socket, the output or a signal", {"ppoll"}, false},
    {"write lines to an output that is a connected socket", {"sendto"}, false},
    {"cut short a write that would wait", {"timer_settime"}, false},
    {"take the memory of a block at once, give back that of lines written",
     {"madvise"},
     false},
    {"catch the stop signals, let them in, and end by the first",
     {"rt_sigaction", "rt_sigprocmask", "rt_sigreturn", "gettid", "getpid",
      "tgkill"},
     false},
};

// The client's own: it reads the console, sends sentences to its server
// and takes the errors that come back.
inline constexpr call_group client_calls[] = {
    {"read the console", {"read"}, false},
    {"ask whether the console is a terminal", {"ioctl"}, false},
    {"wait for the console, room on the way out, or late errors",
     {"poll"},
     false},
    {"send sentences to the server, and only there", {"sendto"}, false},
    {"take the errors that come back, and learn whether they had room",
     {"recvmsg", "getsockopt"},
     false},
};

// Confines the calling process for the rest of its life: no new
// privileges, the filter of `who`, and resource limits that let it open no
// new descriptor (but that its waits may watch two) and start no process.
// Where the system has no seccomp, says so once on standard error as
// `program` and goes on. A build without the sandbox (for the sanitizers,
// valgrind or the fuzzer) confines nothing.
void confine(const char* program, sandbox_for who);

// The descriptors a confined program's waits watch at most: the resource
// limit on descriptors is this, since a wait on more would fail.
constexpr int watched_descriptors = 2;

#endif  // COMMON_SANDBOX_H_
