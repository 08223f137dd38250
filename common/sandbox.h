// What each program may still do once it is set up: a seccomp filter lets
// through only the system calls it then needs and makes any other fail with
// EPERM, so that a fault in handling what comes from the network or the
// console can open no file, start no program and reach no other host with
// the user's rights, and an unexpected path gets an error, not a kill.
#ifndef COMMON_SANDBOX_H_
#define COMMON_SANDBOX_H_

// Whose calls the filter lets through.
enum class sandbox_for { server, client };

// Confines the calling process for the rest of its life: no new
// privileges, and the filter of `who`. Where the system has no seccomp,
// says so once on standard error as `program` and goes on. A build without
// the sandbox (for the sanitizers, valgrind or the fuzzer) confines nothing.
void confine(const char* program, sandbox_for who);

#endif  // COMMON_SANDBOX_H_
