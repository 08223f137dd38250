// Receives sentence datagrams on a UDP port and shows each with its sender's
// address, until a sentence meets the stop rule.
#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/console.h"
#include "common/escape.h"
#include "common/line_window.h"
#include "common/sandbox.h"
#include "common/sentence.h"
#include "server/losses.h"
#include "server/output.h"
#include "server/queue.h"
#include "server/receiving.h"
#include "server/sender_line.h"
#include "server/signals.h"

namespace {

// The name the program was built with, which it says in its messages.
constexpr char program[] = PROGRAM_NAME;

using run_clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// After a stop signal, lines still go out for this long if the output takes
// them, and what the socket holds is counted for this long; after the stop
// word, the count may take longer.
constexpr milliseconds signal_grace(20);
constexpr milliseconds count_limit(100);

// A terminal that hangs up fails writes a moment before its hangup signal
// arrives.
constexpr milliseconds hangup_wait(100);

// While datagrams come, the wait for the next ends after this long, and
// the server then looks for drops that no datagram has brought; after that
// it sleeps until a datagram or a signal comes.
constexpr milliseconds look_interval(10);

// Cut lines are told at most this often while the socket stays busy.
constexpr std::chrono::seconds cut_interval(1);

// While the socket holds more, lines are written once this much of them
// waits: a busy server makes few, large writes; and an output that took no
// more is tried again after this long, not at every batch.
constexpr std::size_t write_chunk = std::size_t{64} << 10;
constexpr std::chrono::microseconds write_retry(1000);

// How the server's run ended, if it has, and the errno of a failure.
enum class run_end {
  going,
  stop_word,
  stop_signal,
  receive_failed,
  output_failed
};
struct run_result {
  run_end end = run_end::going;
  int error = 0;
};

// The dotted text of the latest sender: senders mostly repeat, so it is made
// anew only when the sender changes.
struct sender_text {
  in_addr address{};
  char text[dotted_address_size] = "0.0.0.0";
};

// What the server holds while it runs.
struct serving {
  int sock = -1;
  signal_gate gate;
  datagram_batch batch;
  sender_text sender;
  line_queue queue;
  server_output output;
  run_result result;    // how the run ended, once it has
  run_result stopping;  // what ended the taking: the stop word or a failure
  bool taking = true;
  int taken = 0;  // datagrams the latest take found
  write_state writing = write_state::empty;
  bool output_ready = true;  // the output may take more now
  run_clock::time_point next_write_try{};
  std::uint32_t drops_placed = 0;  // the system's drop count, placed so far
  unsigned long cuts = 0;          // cut lines queued, not yet placed
  run_clock::time_point next_cut_place{};
  bool look_owed = false;       // datagrams were taken since the last look
  bool receive_waits = false;   // the next take waits, a look interval at most
  unsigned long not_shown = 0;  // taken after the stop word
};

// Asks for the listening port and reads the first word of the first line
// that has one into `word`, and its length into `length`; false, said why,
// if there is none.
bool ask_port(char (&word)[message_buffer_size], std::size_t& length) {
  console c;
  c.program = program;
  show_prompt(c, "Please enter your listening port: ");
  const line_status answer = read_word(c, word, sizeof word, length);
  if (answer == line_status::whole) return true;
  end_unanswered_prompt(c);
  if (answer == line_status::failed) {
    report_failure(program, "cannot read input");
  } else {
    tell(program, "no listening port given");
  }
  return false;
}

// Opens the socket on the port that the `length` bytes of `word` give, and
// says which port the system chose if they give 0, or nobody could reach
// the server, and which port it takes for a number out of range; -1, said
// why, if it cannot.
int listen_on(const char* word, std::size_t length) {
  const std::uint16_t port = parse_port(word);
  const int sock = open_socket(port);
  if (sock < 0) {
    const int error = errno;
    tell(program, "cannot listen on port %u: %s", ntohs(port),
         std::strerror(error));
    return -1;
  }
  if (!port_in_range(word)) {
    char shown[message_line_size];
    tell(program, "port %s is out of range: listening on port %u",
         shown_text(word, length, shown, sizeof shown), ntohs(port));
  }
  sockaddr_in local{};
  socklen_t local_length = sizeof local;
  if (port == 0 && getsockname(sock, reinterpret_cast<sockaddr*>(&local),
                               &local_length) == 0) {
    tell(program, "listening on port %u", ntohs(local.sin_port));
  }
  return sock;
}

// Catches the stop signals, maps the queue and readies the output; false,
// said why, if it cannot.
bool get_ready(serving& s) {
  if (!catch_stop_signals()) {
    report_failure(program, "cannot watch signals");
    return false;
  }
  if (!open_queue(s.queue)) {
    report_failure(program, "cannot make room for its queue");
    return false;
  }
  prepare_batch(s.batch);
  limit_waits(s.sock, look_interval);
  s.output.program = program;
  s.output.out = open_stream(STDOUT_FILENO);
  s.output.err = open_stream(STDERR_FILENO);
  return true;
}

// Places `lost`, with the cuts not yet placed, after the lines queued.
void place(serving& s, losses lost) {
  lost.cuts += s.cuts;
  s.cuts = 0;
  add_losses(s.queue, lost);
}

// Places the drops that the system has counted up to `count` (its count
// wraps around, and so does the difference).
void place_system_drops(serving& s, std::uint32_t count) {
  losses lost;
  lost.system_drops = count - s.drops_placed;
  s.drops_placed = count;
  if (lost.system_drops != 0) place(s, lost);
}

const char* dotted(sender_text& sender, in_addr address) {
  if (address.s_addr != sender.address.s_addr) {
    sender.address = address;
    inet_ntop(AF_INET, &sender.address, sender.text, sizeof sender.text);
  }
  return sender.text;
}

void stop_taking(serving& s, run_result why) {
  s.taking = false;
  s.stopping = why;
}

// Learns from the socket, once it has been quiet for a look interval, the
// drops that no datagram has brought, if it has taken any since it last
// looked.
void look_for_drops(serving& s) {
  std::uint32_t drops;
  if (s.look_owed && drops_if_empty(s.sock, drops)) {
    place_system_drops(s, drops);
  }
  s.look_owed = false;
}

// Takes what the socket holds, a batch at most, and queues each datagram's
// line after the losses before it; a stop sentence ends the taking.
void take_datagrams(serving& s) {
  s.taken = 0;
  if (!s.taking) return;
  if (s.receive_waits) {
    // A signal held back until now comes in here, and the take need not wait.
    let_through(s.gate);
    s.receive_waits = stop_signal() == 0;
  }
  const int count = take_batch(s.sock, s.batch, s.receive_waits);
  if (count < 0) {
    stop_taking(s, {run_end::receive_failed, errno});
    return;
  }
  s.taken = count;
  // A wait that brought nothing was quiet for a look interval.
  if (count == 0 && s.receive_waits) look_for_drops(s);
  s.look_owed = s.look_owed || count > 0;
  for (int i = 0; i < count; ++i) {
    place_system_drops(s, drops_before(s.batch, i));
    char* const text = s.batch.buffers[i];
    const bounded_sentence sentence =
        bound_sentence(s.batch.buffers[i], s.batch.messages[i].msg_len);
    const bool stop = is_stop_sentence(text);
    char* const room = line_room(s.queue, stop);
    if (room == nullptr) {
      losses dropped;
      dropped.queue_drops = 1;
      place(s, dropped);
      continue;
    }
    add_line(s.queue,
             format_sender_line(dotted(s.sender, s.batch.senders[i].sin_addr),
                                text, sentence.length, room));
    if (sentence.cut) ++s.cuts;
    if (stop) {
      s.not_shown += static_cast<unsigned long>(count - i - 1);
      stop_taking(s, {run_end::stop_word, 0});
      return;
    }
  }
  if (s.cuts == 0) return;
  const auto now = run_clock::now();
  if (count < static_cast<int>(receive_batch) || now >= s.next_cut_place) {
    place(s, {});
    s.next_cut_place = now + cut_interval;
  }
}

// Tells whether the socket may hold more than the latest take found.
bool socket_busy(const serving& s) {
  return s.taking && s.taken == static_cast<int>(receive_batch);
}

// Writes what the output takes now of the queue: all of it once the socket
// is empty, or once enough waits. An output that took no more is tried
// again once a wait finds it ready, or a moment later.
void write_lines(serving& s) {
  if (socket_busy(s) && unwritten_bytes(s.queue) < write_chunk) return;
  if (!s.output_ready && run_clock::now() < s.next_write_try) return;
  s.writing = write_queue(s.output, s.queue);
  s.output_ready = s.writing == write_state::empty;
  if (!s.output_ready) s.next_write_try = run_clock::now() + write_retry;
  if (s.writing == write_state::failed) {
    s.result = {run_end::output_failed, errno};
  } else if (!s.taking && s.writing == write_state::empty) {
    s.result = s.stopping;
  }
}

// The wait for the stream that takes no more now, as `writing` says.
pollfd output_room(const serving& s) {
  return {
      s.writing == write_state::out_waits ? s.output.out.fd : s.output.err.fd,
      POLLOUT, 0};
}

// Decides how the server waits for more to do: not at all while the socket
// is busy; in the next take while datagrams flow, for a look interval at
// most; else, until the socket or a waiting output is ready, or a stop
// signal comes.
void wait_for_work(serving& s) {
  s.receive_waits = false;
  if (s.result.end != run_end::going) return;
  if (stop_signal() != 0) {
    s.result = {run_end::stop_signal, 0};
    return;
  }
  if (socket_busy(s)) return;
  if (s.taking && s.look_owed) {
    s.receive_waits = true;
    return;
  }
  const bool output_waits = s.writing != write_state::empty;
  pollfd ready[2];
  nfds_t count = 0;
  if (s.taking) ready[count++] = {s.sock, POLLIN, 0};
  if (output_waits) ready[count++] = output_room(s);
  if (wait_for(s.gate, ready, count, -1) < 0) {
    s.result = {run_end::receive_failed, errno};
  }
  if (output_waits && ready[count - 1].revents != 0) s.output_ready = true;
  if (stop_signal() != 0) s.result = {run_end::stop_signal, 0};
}

// Writes the queue for at most `limit`, as the output takes it.
void write_for(serving& s, milliseconds limit) {
  const auto deadline = run_clock::now() + limit;
  while ((s.writing = write_queue(s.output, s.queue)) ==
             write_state::out_waits ||
         s.writing == write_state::err_waits) {
    const auto left =
        std::chrono::ceil<milliseconds>(deadline - run_clock::now());
    if (left.count() <= 0) return;
    pollfd ready = output_room(s);
    wait_for(s.gate, &ready, 1, static_cast<int>(left.count()));
  }
}

// Counts what the server did not show and what it has not told yet, says
// any failure and tells them, waiting for standard error unless a stop
// signal has come, and ends as the run did.
int finish(serving& s) {
  const run_result result = s.result;
  if (result.end == run_end::output_failed && result.error == EIO) {
    wait_for(s.gate, nullptr, 0, static_cast<int>(hangup_wait.count()));
  }
  if (stop_signal() != 0) write_for(s, signal_grace);
  losses rest = untold_losses(s.queue);
  // Loss lines that standard error has not begun to take are still untold.
  if (s.output.told_sent == 0) add_up(rest, s.output.telling);
  rest.cuts += s.cuts;
  rest.not_shown = s.not_shown + unwritten_lines(s.queue);
  std::uint32_t drops = s.drops_placed;
  const bool signalled = stop_signal() != 0;
  rest.not_shown += count_queued(s.sock, s.batch,
                                 signalled ? signal_grace : count_limit, drops);
  drops_if_empty(s.sock, drops);
  rest.system_drops += drops - s.drops_placed;
  const bool failed = !signalled && result.end != run_end::stop_word;
  start_telling(s.output, rest,
                !failed                                 ? nullptr
                : result.end == run_end::receive_failed ? "receive failed"
                                                        : "cannot write output",
                result.error);
  while (write_told(s.output) == write_state::err_waits && !signalled &&
         stop_signal() == 0) {
    pollfd ready = {s.output.err.fd, POLLOUT, 0};
    wait_for(s.gate, &ready, 1, -1);
  }
  if (stop_signal() != 0) return end_by_signal(stop_signal());
  return result.end == run_end::stop_word ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const int answered = answer_arguments(
      argc, argv, program, "Usage: " PROGRAM_NAME " [--help | --version]",
      "Shows every sentence that arrives over UDP on a port, one line each\n"
      "after the sender's IPv4 address, until a sentence \"Quit\".\n"
      "It asks for the port: run it without arguments.\n"
      "See man " PROGRAM_NAME ".\n");
  if (answered >= 0) return answered;
  open_standard_descriptors();
  let_stop_signals_through();
  char port_word[message_buffer_size];
  std::size_t port_length;
  if (!ask_port(port_word, port_length)) return 1;
  serving s;
  s.sock = listen_on(port_word, port_length);
  if (s.sock < 0 || !get_ready(s)) return 1;
  confine(program, sandbox_for::server);

  while (s.result.end == run_end::going) {
    take_datagrams(s);
    write_lines(s);
    wait_for_work(s);
  }
  return finish(s);
}
