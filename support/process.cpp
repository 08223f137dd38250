#include "support/process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

void pin(int cpu) {
  if (cpu < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

pid_t checked_fork() {
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("cannot fork");
  return pid;
}

// Puts `streams` in place as a child's standard streams. Each is first moved
// above them, so that one which already is a standard descriptor (a pipe
// made while standard input was closed, say) is not lost to another.
void place_streams(const child_streams& streams) {
  int fds[] = {streams.in, streams.out, streams.err};
  for (int& fd : fds) {
    if (fd >= 0) fd = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  }
  for (int target = STDIN_FILENO; target <= STDERR_FILENO; ++target) {
    if (fds[target] >= 0) {
      dup2(fds[target], target);
    } else {
      close(target);
    }
  }
}

}  // namespace

int remaining_ms(process_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - process_clock::now());
  return static_cast<int>(std::max<long>(left.count(), 0));
}

pid_t start_program(const std::string& path, const child_streams& streams,
                    int cpu) {
  const pid_t pid = checked_fork();
  if (pid == 0) {
    pin(cpu);
    place_streams(streams);
    if (streams.network != nullptr && !enter_network(streams.network)) {
      _exit(126);
    }
    if (streams.out_controls) {
      setsid();
      ioctl(STDOUT_FILENO, TIOCSCTTY, 0);
    }
    for (const char* const* entry = streams.environment;
         entry != nullptr && *entry != nullptr; ++entry) {
      putenv(const_cast<char*>(*entry));
    }
    if (streams.user >= 0 &&
        (setgroups(0, nullptr) != 0 || setgid(streams.user) != 0 ||
         setuid(streams.user) != 0)) {
      _exit(126);
    }
    // The program starts with the signal actions a shell would give it, not
    // the ones its starter chose for itself.
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) {
      std::signal(signal, signal == streams.ignored_signal ? SIG_IGN : SIG_DFL);
      if (signal == streams.blocked_signal) sigaddset(&held, signal);
    }
    sigprocmask(SIG_SETMASK, &held, nullptr);
    execl(path.c_str(), path.c_str(), streams.argument,
          static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

bool enter_network(const char* network) {
  const int fd = open(network, O_RDONLY | O_CLOEXEC);
  const bool entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
  if (fd >= 0) close(fd);
  return entered;
}

pid_t start_function(const std::function<int()>& body, int cpu) {
  const pid_t pid = checked_fork();
  if (pid == 0) {
    pin(cpu);
    _exit(body());
  }
  return pid;
}

ending wait_for(pid_t pid, process_clock::time_point deadline,
                const std::function<void()>& meanwhile,
                std::chrono::milliseconds period, int stop) {
  constexpr auto grace = std::chrono::seconds(2);
  ending result;
  if (pid <= 0) return result;
  // A pidfd wakes the wait the moment the child ends.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  bool stopped = false;
  int status = 0;
  for (;;) {
    const pid_t ended = wait4(pid, &status, WNOHANG, &result.usage);
    if (ended == pid) {
      result.exited = !stopped;
      result.status =
          WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
      break;
    }
    if (ended < 0 && errno != EINTR) break;
    if (remaining_ms(deadline) == 0) {
      if (stop == 0) break;
      if (stopped || stop == SIGKILL) {
        kill(pid, SIGKILL);
        wait4(pid, &status, 0, &result.usage);
        break;
      }
      kill(pid, stop);
      stopped = true;
      deadline = process_clock::now() + grace;
    }
    if (meanwhile) meanwhile();
    pollfd child = {pidfd, POLLIN, 0};
    const int wait_ms =
        std::min(remaining_ms(deadline), static_cast<int>(period.count()));
    if (pidfd < 0 || poll(&child, 1, wait_ms) < 0) usleep(1000);
  }
  if (pidfd >= 0) close(pidfd);
  result.at = process_clock::now();
  return result;
}

void kill_child(pid_t pid) {
  // A child that has ended is reaped here; a PID that is no child of ours
  // gives an error, and is never signalled.
  if (pid <= 0 || waitpid(pid, nullptr, WNOHANG) != 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

std::string next_line(int fd, std::string& text,
                      process_clock::time_point deadline) {
  std::size_t end;
  while ((end = text.find('\n')) == std::string::npos) {
    pollfd readable = {fd, POLLIN, 0};
    if (fd < 0 || poll(&readable, 1, remaining_ms(deadline)) <= 0) return "";
    char chunk[4096];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return "";
    text.append(chunk, n);
  }
  std::string line = text.substr(0, end);
  text.erase(0, end + 1);
  return line;
}

namespace {

// What process `pid` has had of the CPU: the times it gave up or lost it,
// and the clock ticks it ran; -1 for both once it is gone.
struct cpu_use {
  long switches = -1;
  long ticks = -1;
  bool operator!=(const cpu_use& other) const {
    return switches != other.switches || ticks != other.ticks;
  }
};

cpu_use cpu_use_of(pid_t pid) {
  cpu_use use;
  const std::string folder = "/proc/" + std::to_string(pid);
  std::ifstream status(folder + "/status");
  for (std::string line; std::getline(status, line);) {
    const std::size_t colon = line.find(':');
    if (line.find("ctxt_switches") != std::string::npos &&
        colon != std::string::npos) {
      use.switches =
          std::max(use.switches, 0L) + std::atol(line.c_str() + colon + 1);
    }
  }
  // Its user and system time are the 12th and 13th fields after the name,
  // which ends with the last parenthesis.
  std::ifstream stat_file(folder + "/stat");
  std::string stat;
  std::getline(stat_file, stat);
  const std::size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos) return use;
  std::istringstream fields(stat.substr(name_end + 1));
  std::string field;
  for (int i = 0; i < 11 && fields >> field; ++i) {
  }
  long user = 0, system = 0;
  if (fields >> user >> system) use.ticks = user + system;
  return use;
}

}  // namespace

bool stays_asleep(pid_t pid, std::chrono::milliseconds quiet,
                  std::chrono::milliseconds wait) {
  const auto deadline = process_clock::now() + wait;
  cpu_use before = cpu_use_of(pid);
  auto since = process_clock::now();
  while (before.switches >= 0 && process_clock::now() < deadline) {
    usleep(10000);
    const cpu_use now = cpu_use_of(pid);
    if (now != before) {
      before = now;
      since = process_clock::now();
    } else if (process_clock::now() - since >= quiet) {
      return true;
    }
  }
  return false;
}

std::uint16_t announced_port(const std::string& line) {
  const std::string said = "listening on port ";
  const std::size_t at = line.rfind(said);
  if (line.compare(0, 8, "server: ") != 0 || at == std::string::npos) {
    return 0;
  }
  const unsigned long port =
      std::strtoul(line.c_str() + at + said.size(), nullptr, 10);
  return port <= UINT16_MAX ? static_cast<std::uint16_t>(port) : 0;
}
