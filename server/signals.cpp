#include "server/signals.h"

#include <cerrno>
#include <csignal>
#include <ctime>

namespace {

// The first stop signal that arrived; only the handler writes it.
volatile std::sig_atomic_t arrived_signal = 0;

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

void on_stop_signal(int signal) {
  // Nothing here sets errno, but a handler must leave it as it found it.
  const int saved = errno;
  if (arrived_signal == 0) arrived_signal = signal;
  errno = saved;
}

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : stop_signals) sigaddset(&set, signal);
  return set;
}

}  // namespace

void let_stop_signals_through() {
  const sigset_t stops = stop_set();
  sigprocmask(SIG_UNBLOCK, &stops, nullptr);
}

bool catch_stop_signals() {
  for (const int signal : stop_signals) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0) return false;
    if (current.sa_handler == SIG_IGN) continue;
    // Without SA_RESTART: the signal cuts short the call it meets.
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    action.sa_mask = stop_set();
    if (sigaction(signal, &action, nullptr) != 0) return false;
  }
  return true;
}

int stop_signal() { return arrived_signal; }

void let_through(signal_gate& gate) {
  if (!gate.held) return;
  sigprocmask(SIG_SETMASK, &gate.let_in, nullptr);
  gate.held = false;
}

int wait_for(signal_gate& gate, pollfd* fds, nfds_t count, int timeout_ms) {
  if (!gate.held) {
    const sigset_t stops = stop_set();
    sigprocmask(SIG_BLOCK, &stops, &gate.let_in);
    gate.held = true;
  }
  if (arrived_signal != 0) return 0;
  timespec limit{};
  limit.tv_sec = timeout_ms / 1000;
  limit.tv_nsec = static_cast<long>(timeout_ms % 1000) * 1000000L;
  // A signal held back since the look at the flag comes in here.
  const int ready =
      ppoll(fds, count, timeout_ms >= 0 ? &limit : nullptr, &gate.let_in);
  return ready < 0 && errno == EINTR ? 0 : ready;
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
