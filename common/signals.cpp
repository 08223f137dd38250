#include "common/signals.h"

#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <initializer_list>

namespace {

// The stop signals that are not ignored: a blocked signal is kept even when
// ignored, and one ignored from the start (a hangup under nohup, say) must
// stay so.
sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action;
    if (sigaction(signal, nullptr, &action) == 0 &&
        action.sa_handler != SIG_IGN) {
      sigaddset(&set, signal);
    }
  }
  return set;
}

}  // namespace

int watch_stop_signals() {
  const sigset_t set = stop_signals();
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
  return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

int taken_signal(int signals) {
  signalfd_siginfo info;
  return read(signals, &info, sizeof info) == sizeof info
             ? static_cast<int>(info.ssi_signo)
             : 0;
}

int end_waits_briefly(int sock) {
  timeval interval{};
  interval.tv_usec = std::chrono::microseconds(longest_wait).count();
  return setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &interval, sizeof interval);
}

int end_by_signal(int signal) {
  std::signal(signal, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  kill(getpid(), signal);
  return 128 + signal;
}
