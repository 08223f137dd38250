// Receives sentence datagrams on a UDP port and shows each with its sender's
// address, until a sentence meets the stop rule.
#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
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

// After a stop signal, lines still go out for signal_grace if the output
// takes them, and then the rest of a line begun, until line_rest_limit;
// what the socket holds is counted for signal_count_limit; and what standard
// error takes by stop_limit is told: the server ends within a tenth of a
// second. After the stop word, the count may take count_limit.
constexpr milliseconds signal_grace(20);
constexpr milliseconds line_rest_limit(50);
constexpr milliseconds signal_count_limit(20);
constexpr milliseconds stop_limit(90);
constexpr milliseconds count_limit(100);

// A terminal that hangs up fails writes a moment before its hangup signal
// arrives.
constexpr milliseconds hangup_wait(100);

// Once datagrams have come, a wait that finds the socket quiet this long
// looks for drops that no datagram brought; after that the server sleeps
// until a datagram or a signal comes.
constexpr milliseconds look_interval(10);

// A server too busy to wait looks this often for the room of an output that
// took no more, and lets in the stop signals held back meanwhile.
constexpr milliseconds busy_look_interval(1);

// Cut lines are told at most this often while the socket stays busy.
constexpr std::chrono::seconds cut_interval(1);

// While the socket holds more, lines are written once this much of them
// waits: a busy server makes few, large writes.
constexpr std::size_t write_chunk = std::size_t{64} << 10;

// What ended the taking of datagrams (the stop word, a failed reception), or
// the whole run (a stop signal, a failed output).
enum class run_end {
  going,
  stop_word,
  receive_failed,
  stop_signal,
  output_failed
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
  run_end end = run_end::going;
  int error = 0;  // the errno of a failure that ended it
  int taken = 0;  // datagrams the latest take found
  // How the latest write ended; an output that waits is tried again once a
  // wait finds room for it.
  write_state writing = write_state::empty;
  run_clock::time_point next_busy_look{};
  std::uint32_t drops_placed = 0;  // the system's drop count, placed so far
  unsigned long cuts = 0;          // cut lines queued, not yet placed
  run_clock::time_point next_cut_place{};
  bool look_owed = false;       // datagrams were taken since the last look
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
  if (answer == line_status::whole) {
    end_answered_prompt(c);
    return true;
  }
  end_unanswered_prompt(c);
  if (answer == line_status::failed) {
    report_failure(program, "cannot read input");
  } else {
    tell(program, "no listening port given");
  }
  return false;
}

// Opens the socket on the port that the `length` bytes of `word` give, and
// says which port it listens on where the word did not say it plainly: a
// word that is not digits alone (a typo, a sign), a number out of range,
// or 0, for which the system chose; -1, said why, if it cannot.
int listen_on(const char* word, std::size_t length) {
  const std::uint16_t port = parse_port(word);
  const int sock = open_socket(port);
  if (sock < 0) {
    const int error = errno;
    tell(program, "cannot listen on port %u: %s", ntohs(port),
         std::strerror(error));
    return -1;
  }
  sockaddr_in local{};
  socklen_t local_length = sizeof local;
  const unsigned listening =
      getsockname(sock, reinterpret_cast<sockaddr*>(&local), &local_length) == 0
          ? ntohs(local.sin_port)
          : ntohs(port);
  char shown[message_line_size];
  if (!is_port_number(word, length)) {
    tell(program, "port %s is not a number: listening on port %u",
         shown_text(word, length, shown, sizeof shown), listening);
  } else if (!port_in_range(word)) {
    tell(program, "port %s is out of range: listening on port %u",
         shown_text(word, length, shown, sizeof shown), listening);
  } else if (port == 0) {
    tell(program, "listening on port %u", listening);
  }
  return sock;
}

// Maps the queue, readies the output, confines the server and catches the
// stop signals; false, said why, if it cannot.
bool get_ready(serving& s) {
  if (!open_queue(s.queue)) {
    report_failure(program, "cannot make room for its queue");
    return false;
  }
  prepare_batch(s.batch);
  s.output.program = program;
  if (!open_output(s.output)) {
    report_failure(program, "cannot time the writes of its output");
    return false;
  }
  confine(program, sandbox_for::server);
  if (!catch_stop_signals(s.gate)) {
    report_failure(program, "cannot watch signals");
    return false;
  }
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

bool taking(const serving& s) { return s.end == run_end::going; }

// Tells whether every line and loss is out.
bool all_out(const serving& s) {
  return queue_empty(s.queue) && s.output.out.refused == 0 &&
         s.output.told_sent == s.output.told_size;
}

// Tells whether the run is over: at once for a stop signal or a failed
// output; after the stop word or a failed reception, once every line taken
// before it is out.
bool run_over(const serving& s) {
  return s.end == run_end::stop_signal || s.end == run_end::output_failed ||
         (!taking(s) && all_out(s));
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
  if (!taking(s)) return;
  const int count = take_batch(s.sock, s.batch);
  if (count < 0) {
    s.end = run_end::receive_failed;
    s.error = errno;
    return;
  }
  s.taken = count;
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
      s.end = run_end::stop_word;
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

// Tells whether the socket may hold more than the latest take found: it
// found a whole batch. Then the server takes again without waiting, and
// gathers lines into fewer, larger writes.
bool socket_busy(const serving& s) {
  return taking(s) && s.taken == static_cast<int>(receive_batch);
}

bool output_waits(const serving& s) {
  return s.writing == write_state::out_waits ||
         s.writing == write_state::err_waits;
}

// Writes what the output takes now of the queue: all of it once the socket
// is empty, or once enough waits; an output that took no more waits until a
// wait finds room for it.
void write_lines(serving& s) {
  if (output_waits(s) ||
      (socket_busy(s) && unwritten_bytes(s.queue) < write_chunk)) {
    return;
  }
  s.writing = write_queue(s.output, s.queue);
  if (s.writing == write_state::failed) {
    s.end = run_end::output_failed;
    s.error = errno;
  }
}

// The wait for the stream that takes no more now, as `writing` says.
pollfd output_room(const serving& s) {
  return {
      s.writing == write_state::out_waits ? s.output.out.fd : s.output.err.fd,
      POLLOUT, 0};
}

// Waits for more to do, in the one wait, which lets the stop signals in:
// until the socket or an output that waits is ready, or a signal comes; a
// look interval at most when datagrams have come since the last look for
// drops; and not at all while the socket is busy, when it only looks, now
// and then, for an output's room and for a signal held back meanwhile.
void wait_for_work(serving& s) {
  // A stop signal that came during a timed write is not slept through.
  if (stop_signal() != 0) s.end = run_end::stop_signal;
  if (run_over(s)) return;
  const bool busy = socket_busy(s);
  const auto now = run_clock::now();
  if (busy && now < s.next_busy_look) return;
  pollfd ready[2];
  nfds_t count = 0;
  if (taking(s) && !busy) ready[count++] = {s.sock, POLLIN, 0};
  const bool room_awaited = output_waits(s);
  if (room_awaited) ready[count++] = output_room(s);
  const bool look_due = taking(s) && s.look_owed;
  const int timeout = busy       ? 0
                      : look_due ? static_cast<int>(look_interval.count())
                                 : -1;
  const int found = wait_for(s.gate, ready, count, timeout);
  s.next_busy_look = now + busy_look_interval;
  if (stop_signal() != 0) {
    s.end = run_end::stop_signal;
  } else if (found < 0) {
    s.end = run_end::receive_failed;
    s.error = errno;
  } else {
    if (room_awaited && ready[count - 1].revents != 0) {
      s.writing = write_state::empty;
    }
    // A wait that found nothing was quiet for a look interval.
    if (found == 0 && !busy && look_due) look_for_drops(s);
  }
}

// Writes as `how` does for as long as the output takes it, until `deadline`
// at most, waiting for its room in between; a wait that finds none by then
// ends it.
void write_until(serving& s, run_clock::time_point deadline,
                 write_state (*how)(server_output&, line_queue&)) {
  for (;;) {
    s.writing = how(s.output, s.queue);
    if (!output_waits(s)) return;
    const auto left =
        std::chrono::ceil<milliseconds>(deadline - run_clock::now());
    if (left.count() <= 0) return;
    pollfd ready = output_room(s);
    if (wait_for(s.gate, &ready, 1, static_cast<int>(left.count())) == 0 &&
        run_clock::now() >= deadline) {
      return;
    }
  }
}

// Writes the lines told on standard error, waiting for it until `deadline`,
// or however long if there is none.
void tell_until(serving& s, run_clock::time_point deadline) {
  while (write_told(s.output) == write_state::err_waits) {
    int timeout = -1;
    if (deadline != run_clock::time_point{}) {
      const auto left =
          std::chrono::ceil<milliseconds>(deadline - run_clock::now());
      if (left.count() <= 0) return;
      timeout = static_cast<int>(left.count());
    }
    pollfd ready = {s.output.err.fd, POLLOUT, 0};
    wait_for(s.gate, &ready, 1, timeout);
    // After a stop signal, standard error gets what remains of the tenth.
    if (deadline == run_clock::time_point{} && stop_signal() != 0) {
      deadline = run_clock::now() + signal_grace;
    }
  }
}

// After a stop signal or a failure, counts what the server did not show and
// has not told yet, says any failure and tells them, and ends as the run
// did: by the signal, with 0 after the stop word, else with 1.
int finish(serving& s) {
  const auto started = run_clock::now();
  if (s.end == run_end::output_failed && s.error == EIO) {
    wait_for(s.gate, nullptr, 0, static_cast<int>(hangup_wait.count()));
  }
  const bool signalled = stop_signal() != 0;
  if (signalled) {
    // Lines still go out a moment if the output takes them, and a line
    // begun is ended if the output takes the rest.
    write_until(s, started + signal_grace, write_queue);
    write_until(s, started + line_rest_limit, write_line_rest);
  }
  losses rest = untold_losses(s.queue);
  rest.cuts += s.cuts;
  rest.refused += s.output.out.refused + late_refusal(s.output.out);
  rest.not_shown = s.not_shown + unwritten_lines(s.queue);
  std::uint32_t drops = s.drops_placed;
  rest.not_shown += count_queued(
      s.sock, s.batch, signalled ? signal_count_limit : count_limit, drops);
  drops_if_empty(s.sock, drops);
  rest.system_drops += drops - s.drops_placed;
  const bool failed = !signalled && s.end != run_end::stop_word;
  finish_telling(s.output, rest,
                 !failed                            ? nullptr
                 : s.end == run_end::receive_failed ? "receive failed"
                                                    : "cannot write output",
                 s.error);
  tell_until(s, signalled ? started + stop_limit : run_clock::time_point{});
  if (stop_signal() != 0) return end_by_signal(stop_signal());
  return s.end == run_end::stop_word ? 0 : 1;
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
  // A closed output is a failed write: the prompt is only for a person, and
  // the lines' failure is told.
  std::signal(SIGPIPE, SIG_IGN);
  let_stop_signals_through();
  char port_word[message_buffer_size];
  std::size_t port_length;
  if (!ask_port(port_word, port_length)) return 1;
  serving s;
  s.sock = listen_on(port_word, port_length);
  if (s.sock < 0 || !get_ready(s)) return 1;

  while (!run_over(s)) {
    take_datagrams(s);
    write_lines(s);
    wait_for_work(s);
  }
  return finish(s);
}
