#include "server/signals.h"

#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <ctime>

namespace {

// The first stop signal that arrived; only the handler writes it.
volatile std::sig_atomic_t arrived_signal = 0;

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// A signal cuts short the call it meets, but one that comes just before a
// call blocks would not: an alarm that repeats from then on cuts that call
// short too, so the flag needs no look before each call.
void on_stop_signal(int signal) {
  if (arrived_signal != 0) {
    // A second stop signal ends the server at once, whatever it is doing.
    end_by_signal(signal);
    return;
  }
  arrived_signal = signal;
  itimerval alarm{};
  alarm.it_value.tv_usec = static_cast<suseconds_t>(
      std::chrono::microseconds(blocked_call_limit).count());
  alarm.it_interval = alarm.it_value;
  setitimer(ITIMER_REAL, &alarm, nullptr);
}

// The alarm only cuts a blocked call short.
void on_alarm(int) {}

// Installs `handler` without SA_RESTART, so that a blocked call it
// interrupts returns rather than going on.
bool install(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  for (const int stop : stop_signals) sigaddset(&action.sa_mask, stop);
  return sigaction(signal, &action, nullptr) == 0;
}

}  // namespace

bool catch_stop_signals() {
  if (!install(SIGALRM, on_alarm)) return false;
  for (const int signal : stop_signals) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0) return false;
    if (current.sa_handler != SIG_IGN && !install(signal, on_stop_signal)) {
      return false;
    }
  }
  return true;
}

int stop_signal() { return arrived_signal; }

void await_stop_signal(std::chrono::milliseconds limit) {
  timespec wait{};
  wait.tv_sec = static_cast<time_t>(limit.count() / 1000);
  wait.tv_nsec = static_cast<long>(limit.count() % 1000) * 1000000L;
  // A signal that comes meanwhile ends the wait early.
  if (arrived_signal == 0) nanosleep(&wait, nullptr);
}

int end_by_signal(int signal) {
  std::signal(signal, SIG_DFL);
  raise(signal);
  return 128 + signal;
}
