#include "bench/scenarios.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "bench/receivers.h"
#include "bench/traffic.h"
#include "support/process.h"
#include "support/udp.h"

namespace {

constexpr auto process_limit = std::chrono::seconds(120);
constexpr auto quiet_limit = std::chrono::seconds(3);
constexpr auto memory_period = std::chrono::milliseconds(20);
constexpr int receiver_cpu = 0;

double seconds_between(process_clock::time_point a,
                       process_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

std::string base_name(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

// The peak resident memory of process `pid` in KiB, once it runs `name`:
// before its exec it is still a copy of the benchmark.
long peak_rss_kib(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  bool ours = false;
  while (std::getline(status, line)) {
    if (line.compare(0, 5, "Name:") == 0) {
      ours = line.find(name.substr(0, 15)) != std::string::npos;
    } else if (ours && line.compare(0, 6, "VmHWM:") == 0) {
      return std::atol(line.c_str() + 6);
    }
  }
  return 0;
}

// The peak memory of a process, sampled while the benchmark waits.
struct watched {
  pid_t pid;
  std::string name;
  long peak_kib = 0;
  void sample() { peak_kib = std::max(peak_kib, peak_rss_kib(pid, name)); }
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

double cpu_microseconds(const rusage& usage) {
  const auto micros = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec);
  };
  return micros(usage.ru_utime) + micros(usage.ru_stime);
}

// A started receiver: the server, or the printing limit.
struct receiver {
  pid_t pid = -1;
  std::uint16_t port = 0;
  int errors = -1;  // the server's standard error
  std::string error_text;
  std::string name;  // for memory samples; empty for the printing limit
};

// Starts a receiver on `cpu`, its output to `out_path`.
receiver start_receiver(const options& o, receiver_kind kind, int cpu,
                        const std::string& out_path) {
  receiver r;
  const int out =
      open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  // What earlier runs wrote goes to disk now, not while this one runs.
  syncfs(out);
  if (kind == receiver_kind::printing_limit) {
    const udp_socket socket;
    r.port = socket.port();
    r.pid =
        start_function([&] { return print_datagrams(socket.fd(), out); }, cpu);
    close(out);
    return r;
  }
  int in[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    close(out);
    return r;
  }
  r.pid = start_program(o.server, {in[0], out, err[1]}, cpu);
  r.name = base_name(o.server);
  close(in[0]);
  close(out);
  close(err[1]);
  if (write(in[1], "0\n", 2) == 2) {
    r.port = announced_port(next_line(
        err[0], r.error_text, process_clock::now() + std::chrono::seconds(5)));
  }
  close(in[1]);
  r.errors = err[0];
  return r;
}

// Moves what the server has said on standard error into its text, so that
// it never waits on a full pipe; with `to_end`, all it will ever say.
void read_errors(receiver& r, bool to_end) {
  if (r.errors < 0) return;
  pollfd readable = {r.errors, POLLIN, 0};
  char chunk[4096];
  while (poll(&readable, 1, to_end ? 1000 : 0) > 0) {
    const ssize_t n = read(r.errors, chunk, sizeof chunk);
    if (n <= 0) {
      close(r.errors);
      r.errors = -1;
      return;
    }
    r.error_text.append(chunk, n);
  }
}

// Waits for the receiver until a quiet spell after `after`, ending it with
// SIGTERM then, and fills what it showed into `result`.
void finish_receiver(receiver& r, process_clock::time_point started,
                     process_clock::time_point after, const std::string& out,
                     long sent, int senders, int length, run& result) {
  watched memory{r.pid, r.name};
  const ending served = wait_for(
      r.pid, after + quiet_limit,
      [&] {
        read_errors(r, false);
        if (!r.name.empty()) memory.sample();
      },
      memory_period, SIGTERM);
  read_errors(r, true);
  const shown s = check_output(read_file(out), senders, length);
  result.delivered_rate =
      static_cast<double>(s.lines) / seconds_between(started, served.at);
  result.lost = sent - s.lines;
  result.malformed = s.malformed;
  result.quit = s.quit && served.exited && served.status == 0;
  result.cpu_per_line = s.lines > 0 ? cpu_microseconds(served.usage) /
                                          static_cast<double>(s.lines)
                                    : 0;
  result.receiver_rss = std::max(result.receiver_rss, memory.peak_kib);
  if (r.name.empty()) return;
  // Every datagram sent, the stop sentence included, is shown or told.
  result.told = told_drops(r.error_text);
  result.accounted = s.lines + (s.quit ? 1 : 0) + result.told == sent + 1;
}

}  // namespace

pid_t start_client(const options& o, int cpu, const std::string& input,
                   std::uint16_t port) {
  const int in = open_client_input(input, port);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t client = start_program(o.client, {in, null, STDERR_FILENO}, cpu);
  close(in);
  close(null);
  return client;
}

run measure_into_counter(const options& o, bool pinned,
                         const sender_start& start_sender,
                         const std::string& sender_name) {
  const udp_socket socket;
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return {};
  const pid_t receiver =
      start_function([&] { return count_datagrams(socket.fd(), report[1]); },
                     pinned ? receiver_cpu : -1);
  close(report[1]);
  const auto started = process_clock::now();
  const pid_t sender = start_sender(socket.port());
  watched memory{sender, sender_name};
  const ending sent = wait_for(
      sender, started + process_limit,
      [&] {
        if (!sender_name.empty()) memory.sample();
      },
      memory_period);
  const ending received = wait_for(receiver, sent.at + 2 * quiet_limit);
  char line[64] = {};
  const ssize_t n = read(report[0], line, sizeof line - 1);
  close(report[0]);
  long count = 0;
  int quit = 0;
  if (n > 0) std::sscanf(line, "%ld %d", &count, &quit);
  run r;
  r.sender_rate = o.lines / seconds_between(started, sent.at);
  r.delivered_rate =
      static_cast<double>(count) / seconds_between(started, received.at);
  r.lost = o.lines - count;
  r.quit = quit == 1;
  r.sender_rss = memory.peak_kib;
  return r;
}

run measure_into_receiver(const options& o, receiver_kind kind, int length,
                          bool pinned, const sender_start& start_sender,
                          const std::string& sender_name) {
  const std::string out = o.work + "/receiver-output.txt";
  receiver r = start_receiver(o, kind, pinned ? receiver_cpu : -1, out);
  const auto started = process_clock::now();
  const pid_t sender = start_sender(r.port);
  watched sender_memory{sender, sender_name};
  watched receiver_memory{r.pid, r.name};
  const ending sent = wait_for(
      sender, started + process_limit,
      [&] {
        read_errors(r, false);
        if (!sender_name.empty()) sender_memory.sample();
        if (!r.name.empty()) receiver_memory.sample();
      },
      memory_period);
  run result;
  result.sender_rate = o.lines / seconds_between(started, sent.at);
  result.sender_rss = sender_memory.peak_kib;
  result.receiver_rss = receiver_memory.peak_kib;
  finish_receiver(r, started, sent.at, out, o.lines, 1, length, result);
  return result;
}

run measure_clients(const options& o, receiver_kind kind,
                    const std::vector<std::string>& inputs, int length) {
  const std::string out = o.work + "/receiver-output.txt";
  receiver r = start_receiver(o, kind, -1, out);
  const auto started = process_clock::now();
  std::vector<pid_t> clients(inputs.size());
  std::transform(inputs.begin(), inputs.end(), clients.begin(),
                 [&](const std::string& input) {
                   return start_client(o, -1, input, r.port);
                 });
  auto last = started;
  run result;
  watched receiver_memory{r.pid, r.name};
  for (const pid_t client : clients) {
    watched memory{client, base_name(o.client)};
    const ending e = wait_for(
        client, started + process_limit,
        [&] {
          read_errors(r, false);
          memory.sample();
          if (!r.name.empty()) receiver_memory.sample();
        },
        memory_period);
    last = std::max(last, e.at);
    result.sender_rss = std::max(result.sender_rss, memory.peak_kib);
  }
  // The last datagrams reach the queue before the stop sentence follows.
  constexpr auto settle = std::chrono::milliseconds(200);
  std::this_thread::sleep_for(settle);
  const udp_socket quitter;
  quitter.send_to(r.port, std::string("Quit\0", 5));
  const long total = static_cast<long>(inputs.size()) * (o.lines / o.clients);
  result.sender_rate =
      static_cast<double>(total) / seconds_between(started, last);
  result.receiver_rss = receiver_memory.peak_kib;
  finish_receiver(r, started, last, out, total, static_cast<int>(inputs.size()),
                  length, result);
  return result;
}
