#include "server/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

int flags_of(int fd) { return fcntl(fd, F_GETFL); }

// Every kind of standard stream is written without waiting, and the open
// file description the server inherited, which it shares with its shell,
// stays as it was; one not open for writing is not written.
TEST(OpenStream, WritesWithoutWaitingAndLeavesTheInheritedOneAsItWas) {
  int pipe_ends[2], nonblocking_ends[2], socket_ends[2], datagram_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(nonblocking_ends, O_CLOEXEC | O_NONBLOCK), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, socket_ends), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, datagram_ends),
            0);
  FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  const struct {
    const char* name;
    int fd;
    stream_kind kind;
    bool own;       // written through a description of the server's own
    ssize_t takes;  // of "x\n"
  } cases[] = {
      {"pipe", pipe_ends[1], stream_kind::nonblocking, true, 2},
      {"non-blocking pipe", nonblocking_ends[1], stream_kind::nonblocking,
       false, 2},
      {"stream socket", socket_ends[1], stream_kind::stream_socket, false, 2},
      {"datagram socket", datagram_ends[1], stream_kind::datagram_socket, false,
       2},
      {"file", fileno(file), stream_kind::file, false, 2},
      {"a pipe's end for reading", pipe_ends[0], stream_kind::file, false, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int before = flags_of(c.fd);
    stream s;
    ASSERT_TRUE(open_stream(c.fd, s));
    EXPECT_EQ(s.kind, c.kind);
    EXPECT_EQ(s.fd != c.fd, c.own);
    EXPECT_EQ(flags_of(c.fd), before);
    EXPECT_EQ(write_now(s, "x\n", 2), c.takes);
    if (c.own) close(s.fd);
  }
  // A pipe that nobody reads takes what it holds, then nothing more.
  stream s;
  ASSERT_TRUE(open_stream(pipe_ends[1], s));
  const std::string block(65536, 'y');
  while (write_now(s, block.data(), block.size()) > 0) {
  }
  EXPECT_EQ(write_now(s, block.data(), block.size()), 0);
  close(s.fd);
  for (const int fd :
       {pipe_ends[0], pipe_ends[1], nonblocking_ends[0], nonblocking_ends[1],
        socket_ends[0], socket_ends[1], datagram_ends[0], datagram_ends[1]}) {
    close(fd);
  }
  std::fclose(file);
}

// Reads what a pipe holds.
std::string drained(int fd) {
  std::string text;
  char chunk[65536];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, n);
  return text;
}

// A loss is told after the lines before it and before the lines after it:
// while standard error cannot take its line, those lines wait too.
TEST(WriteQueue, TellsEachLossBetweenItsLines) {
  int out[2], err[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC | O_NONBLOCK), 0);
  ASSERT_EQ(pipe2(err, O_CLOEXEC | O_NONBLOCK), 0);
  // Standard error full, but for less than a line.
  const std::string filler(4096, '#');
  while (write(err[1], filler.data(), filler.size()) > 0) {
  }
  const auto queue = std::make_unique<line_queue>();
  ASSERT_TRUE(open_queue(*queue));
  const auto output = std::make_unique<server_output>();
  output->program = "server";
  ASSERT_TRUE(open_stream(out[1], output->out));
  ASSERT_TRUE(open_stream(err[1], output->err));
  for (const char* text : {"before\n", "", "after\n"}) {
    if (*text == '\0') {
      losses lost;
      lost.system_drops = 3;
      lost.cuts = 1;
      add_losses(*queue, lost);
      continue;
    }
    const std::size_t length = std::strlen(text);
    std::memcpy(line_room(*queue, false), text, length);
    add_line(*queue, length);
  }
  EXPECT_EQ(write_queue(*output, *queue), write_state::err_waits);
  EXPECT_EQ(drained(out[0]), "before\n");
  EXPECT_EQ(write_queue(*output, *queue), write_state::err_waits);
  EXPECT_EQ(drained(out[0]), "");
  drained(err[0]);
  EXPECT_EQ(write_queue(*output, *queue), write_state::empty);
  EXPECT_EQ(drained(err[0]),
            "server: 1 datagram cut to its first 1023 bytes\n"
            "server: 3 datagrams dropped: receive queue full\n");
  EXPECT_EQ(drained(out[0]), "after\n");
  munmap(queue->memory, queue_size);
  for (const int fd : {out[0], out[1], err[0], err[1]}) close(fd);
}

// Each kind of loss has its line, in the singular and the plural, after the
// line of a failure if there is one.
TEST(FormatLosses, TellsEachKindInItsLine) {
  losses one;
  one.system_drops = 1;
  one.queue_drops = 1;
  one.cuts = 1;
  one.refused = 1;
  one.not_shown = 1;
  losses many;
  many.system_drops = 2;
  many.queue_drops = 30;
  many.cuts = 400;
  many.refused = 6;
  many.not_shown = 5000;
  const struct {
    losses lost;
    const char* failure;
    std::string lines;
  } cases[] = {
      {{}, nullptr, ""},
      {one, nullptr,
       "server: 1 datagram cut to its first 1023 bytes\n"
       "server: 1 datagram dropped: receive queue full\n"
       "server: 1 datagram dropped: output queue full\n"
       "server: 1 datagram not shown: refused by standard output\n"
       "server: 1 datagram not shown: the server stopped first\n"},
      {many, "receive failed",
       "server: receive failed: Bad file descriptor\n"
       "server: 400 datagrams cut to their first 1023 bytes\n"
       "server: 2 datagrams dropped: receive queue full\n"
       "server: 30 datagrams dropped: output queue full\n"
       "server: 6 datagrams not shown: refused by standard output\n"
       "server: 5000 datagrams not shown: the server stopped first\n"},
  };
  for (const auto& c : cases) {
    const auto output = std::make_unique<server_output>();
    output->program = "server";
    start_telling(*output, c.lost, c.failure, EBADF);
    EXPECT_EQ(std::string(output->told, output->told_size), c.lines);
  }
}

// The last lines told: after what standard error has not taken of a line
// begun, and, where standard output is the same file and holds a line
// begun, after a line end, so that each count line begins a line.
TEST(FinishTelling, BeginsTheLastLinesOnALineOfTheirOwn) {
  losses lost;
  lost.not_shown = 3;
  const std::string count =
      "server: 3 datagrams not shown: the server stopped first\n";
  const struct {
    const char* name;
    bool line_open;
    bool shared;
    std::string begun;  // what standard error has not taken of its lines
    std::string told;
  } cases[] = {
      {"output's line whole", false, true, "", count},
      {"output's line begun, standard error apart", true, false, "", count},
      {"output's line begun, one file with standard error", true, true, "",
       "\n" + count},
      {"a loss line begun", false, true, "ms dropped: receive queue full\n",
       "ms dropped: receive queue full\n" + count},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto output = std::make_unique<server_output>();
    output->program = "server";
    output->line_open = c.line_open;
    output->shared = c.shared;
    const std::string before = "server: 2 datagra";
    std::memcpy(output->told, (before + c.begun).data(),
                before.size() + c.begun.size());
    output->told_size = before.size() + c.begun.size();
    output->told_sent = c.begun.empty() ? output->told_size : before.size();
    finish_telling(*output, lost, nullptr, 0);
    EXPECT_EQ(std::string(output->told + output->told_sent,
                          output->told_size - output->told_sent),
              c.told);
  }
}

}  // namespace
