#include "common/sandbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "support/process.h"

namespace {

// Once confined, a program's call that it does not need (a file opened, a
// socket made, a program started) fails with EPERM, and its own calls go on.
TEST(Confine, RefusesWhatAProgramDoesNotNeed) {
  if (!SANDBOX_BUILT) {
    GTEST_SKIP() << "this build confines nothing (the sanitizers', the "
                    "fuzzer's, or one with -DSANDBOX=OFF)";
  }
  for (const sandbox_for who : {sandbox_for::server, sandbox_for::client}) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    const pid_t child = start_function([&] {
      confine("test", who);
      int refused = 0;  // a bit for each call refused with EPERM
      if (open("/etc/hostname", O_RDONLY) < 0 && errno == EPERM) refused |= 1;
      if (socket(AF_INET, SOCK_DGRAM, 0) < 0 && errno == EPERM) refused |= 2;
      if (execl("/bin/true", "true", static_cast<char*>(nullptr)) < 0 &&
          errno == EPERM) {
        refused |= 4;
      }
      return write(ends[1], "x", 1) == 1 ? refused : 0;
    });
    const ending end =
        wait_for(child, process_clock::now() + std::chrono::seconds(5));
    EXPECT_EQ(end.status, 7);
    char byte = 0;
    EXPECT_EQ(read(ends[0], &byte, 1), 1);
    close(ends[0]);
    close(ends[1]);
  }
}

}  // namespace
