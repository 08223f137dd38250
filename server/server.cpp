// Receives sentence datagrams on a UDP port and shows each with its sender's
// address, until a sentence meets the stop rule.
#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/console.h"
#include "common/line_window.h"
#include "common/sentence.h"
#include "server/losses.h"
#include "server/output.h"
#include "server/receiving.h"
#include "server/signals.h"

namespace {

constexpr char program[] = "server";

// After a stop signal, lines still go out for this long, and the queue is
// counted for this long; after the stop word, the count may take longer.
constexpr auto signal_grace = std::chrono::milliseconds(40);
constexpr auto count_limit = std::chrono::milliseconds(100);

// A terminal that hangs up fails writes a moment before its hangup signal
// arrives.
constexpr auto hangup_wait = std::chrono::milliseconds(100);

// How the server's run ended, if it has.
enum class run_end {
  going,
  stop_word,
  stop_signal,
  receive_failed,
  output_failed
};

run_end after_write(write_end end) {
  switch (end) {
    case write_end::stopped:
      return run_end::stop_signal;
    case write_end::failed:
      return run_end::output_failed;
    default:
      return run_end::going;
  }
}

// Asks for the listening port and reads the first word of the first line
// that has one into `word`; false, said why, if there is none.
bool ask_port(char (&word)[message_buffer_size]) {
  console c;
  c.program = program;
  show_prompt(c, "Please enter your listening port: ");
  const line_status answer = read_word(c, word, sizeof word);
  if (answer == line_status::whole) return true;
  end_unanswered_prompt(c);
  if (answer == line_status::failed) {
    report_failure(program, "cannot read input");
  } else {
    tell(program, "no listening port given");
  }
  return false;
}

// Opens the socket on the port that `word` gives, and says which port the
// system chose if it gives 0, or nobody could reach the server; -1, said
// why, if it cannot.
int listen_on(const char* word) {
  const std::uint16_t port = parse_port(word);
  const int sock = open_socket(port);
  if (sock < 0) {
    const int error = errno;
    tell(program, "cannot listen on port %u: %s", ntohs(port),
         std::strerror(error));
    return -1;
  }
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (port == 0 &&
      getsockname(sock, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
    tell(program, "listening on port %u", ntohs(local.sin_port));
  }
  return sock;
}

// The dotted text of the latest sender: senders mostly repeat, so it is made
// anew only when the sender changes.
struct sender_text {
  in_addr address{};
  char text[dotted_address_size] = "0.0.0.0";
};

// Gathers the lines of the first `count` datagrams of the batch, up to a
// stop sentence; the datagrams after it are not shown.
run_end show_batch(datagram_batch& batch, int count, sender_text& sender,
                   line_output& output, loss_count& losses) {
  for (int i = 0; i < count; ++i) {
    if (batch.senders[i].sin_addr.s_addr != sender.address.s_addr) {
      sender.address = batch.senders[i].sin_addr;
      inet_ntop(AF_INET, &sender.address, sender.text, sizeof sender.text);
    }
    const bounded_sentence sentence =
        bound_sentence(batch.buffers[i], batch.messages[i].msg_len);
    const run_end end = after_write(add_line(
        output, STDOUT_FILENO, sender.text, batch.buffers[i], sentence.length));
    if (end != run_end::going) {
      losses.not_shown += static_cast<unsigned long>(count - i);
      return end;
    }
    losses.known_drops = drops_before(batch, i);
    if (sentence.cut) ++losses.untold_cuts;
    if (is_stop_sentence(batch.buffers[i])) {
      losses.not_shown += static_cast<unsigned long>(count - i - 1);
      return run_end::stop_word;
    }
  }
  return run_end::going;
}

// Drops that no datagram has told yet take a call to learn of, so a server
// that waits often looks for them at most this often.
constexpr auto look_interval = std::chrono::milliseconds(10);

// What decides when the server writes, looks for drops and waits.
struct pacing {
  bool may_wait = false;  // the lines are out: the next take may wait
  unsigned long taken_since_look = 0;
  report_clock::time_point next_look{};
  bool wait_limited = false;  // a wait ends after a look interval
};

// Says when lines are written and losses told: before the server waits for
// the next datagram, which it does once a batch has emptied the queue, and
// at most once a second while it stays busy.
run_end keep_pace(int sock, int taken, pacing& pace, line_output& output,
                  loss_count& losses) {
  pace.may_wait = false;
  if (stop_signal() != 0) return run_end::stop_signal;
  pace.taken_since_look += static_cast<unsigned long>(taken);
  const bool emptied = taken < static_cast<int>(receive_batch);
  auto now = report_clock::now();
  if (!emptied && (!has_untold(losses) || now < losses.next_busy_tell)) {
    return run_end::going;
  }
  const run_end end = after_write(write_out(output, STDOUT_FILENO));
  if (end != run_end::going) return end;
  if (emptied && pace.taken_since_look > 0) {
    // Writing may have taken long (a paused terminal, say): only a queue
    // that is still empty once the lines are out has no datagram that came
    // before the drops it counts.
    now = report_clock::now();
    if (now >= pace.next_look) {
      learn_drops_if_empty(sock, losses);
      pace.next_look = now + look_interval;
      pace.taken_since_look = 0;
    }
  }
  if (tell_losses(losses, false)) {
    losses.next_busy_tell = now + loss_report_interval;
  }
  if (emptied) {
    // While a look is owed, a wait ends when it is due, so that drops are
    // told at the latest a look interval into the wait; a server that has
    // looked sleeps until a datagram or a signal comes.
    const bool owed = pace.taken_since_look > 0;
    if (owed != pace.wait_limited) {
      limit_waits(sock, owed ? look_interval : std::chrono::milliseconds(0));
      pace.wait_limited = owed;
    }
    pace.may_wait = true;
  }
  return run_end::going;
}

// Shows what lines it can, counts the datagrams not shown, tells what was
// lost, and ends as the run did.
int finish(int sock, run_end end, datagram_batch& batch, line_output& output,
           loss_count& losses) {
  int failure = errno;
  if (end == run_end::stop_word || end == run_end::receive_failed) {
    const write_end written = write_out(output, STDOUT_FILENO);
    if (written != write_end::done) {
      failure = errno;
      end = after_write(written);
    }
  }
  if (end == run_end::output_failed && failure == EIO) {
    await_stop_signal(hangup_wait);
  }
  const bool signalled = stop_signal() != 0;
  if (signalled) {
    write_out(output, STDOUT_FILENO, report_clock::now() + signal_grace);
  }
  losses.not_shown += unwritten_lines(output);
  losses.not_shown += count_queued(
      sock, batch, signalled ? signal_grace : count_limit, losses.known_drops);
  learn_drops_if_empty(sock, losses);
  if (!signalled && end != run_end::stop_word) {
    errno = failure;
    report_failure(program, end == run_end::receive_failed
                                ? "receive failed"
                                : "cannot write output");
  }
  tell_losses(losses, signalled);
  tell_not_shown(losses, signalled);
  if (stop_signal() != 0) return end_by_signal(stop_signal());
  return end == run_end::stop_word ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const int answered = answer_arguments(
      argc, argv, program, "Usage: server [--help | --version]",
      "Shows every sentence that arrives over UDP on a port, one line each\n"
      "after the sender's IPv4 address, until a sentence \"Quit\".\n"
      "It asks for the port: run it without arguments.\n"
      "See man server (or man -l man/server.1).\n");
  if (answered >= 0) return answered;
  open_standard_descriptors();
  char port_word[message_buffer_size];
  if (!ask_port(port_word)) return 1;
  const int sock = listen_on(port_word);
  if (sock < 0) return 1;
  if (!catch_stop_signals()) {
    return report_failure(program, "cannot watch signals");
  }

  datagram_batch batch;
  prepare_batch(batch);
  sender_text sender;
  line_output output;
  loss_count losses;
  pacing pace;
  run_end end = run_end::going;
  while (end == run_end::going) {
    const int taken = take_batch(sock, batch, pace.may_wait);
    if (taken < 0) {
      end = run_end::receive_failed;
      break;
    }
    end = show_batch(batch, taken, sender, output, losses);
    if (end == run_end::going) {
      end = keep_pace(sock, taken, pace, output, losses);
    }
  }
  return finish(sock, end, batch, output, losses);
}
