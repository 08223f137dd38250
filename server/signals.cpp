#include "server/signals.h"

#include <cerrno>
#include <csignal>
#include <ctime>

namespace {

// The first stop signal that arrived; only the handlers write it.
volatile std::sig_atomic_t arrived_signal = 0;

// The signals below SIGRTMIN whose default action ends a process without a
// core dump, but SIGPIPE; the real-time ones join them but for the timer's.
constexpr int classic_stop_signals[] = {SIGHUP,  SIGINT,  SIGTERM,   SIGUSR1,
                                        SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,
                                        SIGIO,   SIGPWR,  SIGSTKFLT};

void note_arrival(int signal) {
  if (arrived_signal == 0) arrived_signal = signal;
}

void on_stop_signal(int signal) {
  // Nothing here sets errno, but a handler must leave it as it found it.
  const int saved = errno;
  note_arrival(signal);
  errno = saved;
}

// The timer's own signal only cuts a write short; the same signal from
// anyone else stops the server.
void on_timer_signal(int signal, siginfo_t* info, void*) {
  const int saved = errno;
  if (info == nullptr || info->si_code != SI_TIMER) note_arrival(signal);
  errno = saved;
}

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : classic_stop_signals) sigaddset(&set, signal);
  for (int signal = SIGRTMIN + 1; signal <= SIGRTMAX; ++signal) {
    sigaddset(&set, signal);
  }
  return set;
}

// The stop signals and the timer's: all held back for the run.
sigset_t held_set() {
  sigset_t set = stop_set();
  sigaddset(&set, write_timer_signal());
  return set;
}

// Catches `signal` with `action` unless it is ignored; false, with errno, if
// it cannot.
bool catch_unless_ignored(int signal, struct sigaction& action) {
  struct sigaction current {};
  if (sigaction(signal, nullptr, &current) != 0) return false;
  if (current.sa_handler == SIG_IGN) return true;
  return sigaction(signal, &action, nullptr) == 0;
}

}  // namespace

void let_stop_signals_through() {
  const sigset_t held = held_set();
  sigprocmask(SIG_UNBLOCK, &held, nullptr);
}

bool catch_stop_signals(signal_gate& gate) {
  const sigset_t stops = stop_set();
  // Without SA_RESTART: a signal cuts short the call it meets. While one is
  // handled, the others wait, so that the first is the one that counts.
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  action.sa_mask = stops;
  sigaddset(&action.sa_mask, write_timer_signal());
  for (int signal = 1; signal <= SIGRTMAX; ++signal) {
    if (sigismember(&stops, signal) == 1 &&
        !catch_unless_ignored(signal, action)) {
      return false;
    }
  }
  struct sigaction timer {};
  timer.sa_sigaction = on_timer_signal;
  timer.sa_flags = SA_SIGINFO;
  timer.sa_mask = action.sa_mask;
  if (!catch_unless_ignored(write_timer_signal(), timer)) return false;
  const sigset_t held = held_set();
  if (sigprocmask(SIG_BLOCK, &held, &gate.let_in) != 0) return false;
  // The wait lets every signal held in, whatever mask it was given.
  for (int signal = 1; signal <= SIGRTMAX; ++signal) {
    if (sigismember(&held, signal) == 1) sigdelset(&gate.let_in, signal);
  }
  return true;
}

int stop_signal() { return arrived_signal; }

int wait_for(const signal_gate& gate, pollfd* fds, nfds_t count,
             int timeout_ms) {
  timespec limit{};
  limit.tv_sec = timeout_ms / 1000;
  limit.tv_nsec = static_cast<long>(timeout_ms % 1000) * 1000000L;
  // A signal held back since the look at the flag comes in here.
  const int ready =
      ppoll(fds, count, timeout_ms >= 0 ? &limit : nullptr, &gate.let_in);
  return ready < 0 && errno == EINTR ? 0 : ready;
}

int write_timer_signal() { return SIGRTMIN; }

void let_timer_through(bool through) {
  sigset_t timer;
  sigemptyset(&timer);
  sigaddset(&timer, write_timer_signal());
  sigprocmask(through ? SIG_UNBLOCK : SIG_BLOCK, &timer, nullptr);
}

int end_by_signal(int signal) {
  std::signal(signal, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  // Held back, it would only wait.
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal);
  return 128 + signal;
}
