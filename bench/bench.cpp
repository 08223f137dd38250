// End-to-end benchmark of the real server and client on loopback, against
// a minimal sender and receiver of its own measured the same way: it runs
// them in alternating pairs, then reports each run, a table of the runs
// summed up, and a verdict for each goal; it exits with 1 if one is not met.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "bench/traffic.h"
#include "server/queue.h"
#include "server/receiving.h"
#include "support/process.h"
#include "support/told.h"
#include "support/udp.h"

namespace {

constexpr auto process_limit = std::chrono::seconds(120);
constexpr auto quiet_limit = std::chrono::seconds(3);
constexpr auto port_limit = std::chrono::seconds(5);
constexpr int goal_lines = 100000;     // a run's lines that the goals are for
constexpr long slow_rate = 2000000;    // the slow reader's bytes a second
constexpr long full_speed = 1L << 40;  // a reader's rate that never waits
constexpr int clients_at_once = 4;
constexpr int long_line_share = 20;  // fewer 1000-byte lines to a slow reader
constexpr int latency_share = 50;    // sentences timed, of a run's lines
constexpr auto latency_gap = std::chrono::milliseconds(2);  // 500 a second

struct options {
  std::string server = "build/bin/server";
  std::string client = "build/bin/client";
  std::string work = "/tmp";
  int lines = goal_lines;
  int runs = 10;
  std::string only;  // runs only the scenarios whose names contain this
};

// The receiver runs on CPU 0 and the sender on CPU 1, where there are two.
int cpu_for(int cpu) { return sysconf(_SC_NPROCESSORS_ONLN) > 1 ? cpu : -1; }

bool parse_options(int argc, char** argv, options& o) {
  std::map<std::string, std::string*> texts = {{"--server", &o.server},
                                               {"--client", &o.client},
                                               {"--work", &o.work},
                                               {"--only", &o.only}};
  std::map<std::string, int*> numbers = {{"--lines", &o.lines},
                                         {"--runs", &o.runs}};
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i], value = argv[i + 1];
    if (texts.count(flag) != 0) {
      *texts[flag] = value;
    } else if (numbers.count(flag) != 0) {
      *numbers[flag] = std::max(1, std::atoi(value.c_str()));
    } else {
      return false;
    }
  }
  return argc % 2 == 1;
}

// What one run measured.
struct run {
  double sender_rate = 0;  // lines a second
  long lost = 0;           // lines sent and not shown
  long told = -1;          // drops the server told; -1 for others
  long malformed = 0;
  bool quit = false;      // the stop sentence was shown and ended the receiver
  bool accounted = true;  // shown and told add up to what was sent
  double cpu_per_line = 0;  // the receiver's CPU µs per shown line
  long receiver_kib = 0;    // peak resident memory, from rusage; 0 if none
  long sender_kib = 0;
  double p50_us = 0;  // latency from send to line read, when timed
  double p99_us = 0;
};

// A scenario and its runs.
struct scenario {
  std::string name;  // "<scenario> <length>B"
  std::vector<run> runs;
};

// A figure's values over the runs, from the lowest.
template <typename T>
std::vector<T> sorted(const std::vector<run>& runs, T run::*figure) {
  std::vector<T> values(runs.size());
  std::transform(runs.begin(), runs.end(), values.begin(),
                 [figure](const run& r) { return r.*figure; });
  std::sort(values.begin(), values.end());
  return values;
}

template <typename T>
double median_of(const std::vector<T>& v) {
  const std::size_t n = v.size();
  if (n == 0) return 0;
  return n % 2 == 1 ? v[n / 2]
                    : static_cast<double>(v[n / 2 - 1] + v[n / 2]) / 2;
}

template <typename T>
double median(const std::vector<run>& runs, T run::*figure) {
  return median_of(sorted(runs, figure));
}

template <typename T>
T sum(const std::vector<run>& runs, T run::*figure) {
  const auto v = sorted(runs, figure);
  return std::accumulate(v.begin(), v.end(), T{});
}

// A figure that was not measured shows as "-".
template <typename T>
std::string figure(T value, const char* format) {
  if (value <= 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, format, static_cast<double>(value));
  return text;
}

// The peak memory that rusage gives a child that has done nothing yet: what
// it carries of the benchmark until it runs a program of its own.
long forked_kib() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  rusage usage{};
  if (child < 0 || wait4(child, nullptr, 0, &usage) != child) return 0;
  return usage.ru_maxrss;
}

// The resident memory of process `pid` now, in KiB, or 0.
long resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

long cap() {
  long value = 0;
  std::ifstream("/proc/sys/net/core/rmem_max") >> value;
  return value;
}

void print_facts_and_legend(int queue_kib, const options& o) {
  std::printf(
      "bench: %ld cores, net.core.rmem_max %ld: each receiver's queue is %d "
      "KiB\nbench: %d lines a run (%d of 1000 bytes to the slow reader, %d "
      "timed), %d runs of each scenario, alternating in pairs\nbench: a "
      "child starts at %ld KiB, which its peak memory counts\n\n"
      "Receivers: the server; the printing limit (recvmmsg in batches, one\n"
      "writev a batch, no escaping: the least a printing receiver does).\n"
      "Senders: the client, reading a file; the blast (64 datagrams a\n"
      "sendmmsg). Receiver on CPU 0, sender on CPU 1. Scenarios: pair and\n"
      "client-limit = the client into each receiver; slow-server and\n"
      "slow-limit = the same through a pipe to a reader of 2 MB/s;\n"
      "pipe-server and pipe-limit = the same, the reader at full speed;\n"
      "four-server and four-limit = four clients at once, each a quarter\n"
      "of the lines, through the pipe at full speed;\n"
      "server-blast and limit-blast = the blast into each; latency = 500\n"
      "sentences a second, from send to line read. Columns: lines sent a\n"
      "second; lost = not shown; told = the server's drop lines, which make\n"
      "up what it lost; CPU = the receiver's user and system time per shown\n"
      "line (lower is better); latency p50/p99; peak memory. Rates, CPU,\n"
      "latency: medians of the runs.\n\n",
      sysconf(_SC_NPROCESSORS_ONLN), cap(), queue_kib, o.lines,
      o.lines / long_line_share, o.lines / latency_share, o.runs, forked_kib());
}

void print_run(const std::string& name, int index, const run& r) {
  std::printf(
      "  %-20s run %d: sent %9.0f/s  lost %6ld  told %6s"
      "  malformed %ld  quit %s  cpu %s  latency %s/%s us%s\n",
      name.c_str(), index + 1, r.sender_rate, r.lost,
      r.told >= 0 ? std::to_string(r.told).c_str() : "-", r.malformed,
      r.quit ? "yes" : "NO", figure(r.cpu_per_line, "%.2f us/line").c_str(),
      figure(r.p50_us, "%.0f").c_str(), figure(r.p99_us, "%.0f").c_str(),
      r.accounted ? "" : "  SHOWN + TOLD != SENT");
  std::fflush(stdout);
}

void print_table(const std::vector<scenario>& rows) {
  std::printf(
      "\n| scenario | sent lines/s | lost: median run | all runs | told | "
      "malformed | Quit seen | CPU us/line | latency us p50/p99 | peak KiB "
      "receiver/sender |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
      "\n");
  for (const auto& s : rows) {
    const auto& r = s.runs;
    if (r.empty()) continue;
    std::printf(
        "| %s | %.0f | %.0f | %ld | %s | %ld | %ld/%zu | %s | %s/%s | %s/%s "
        "|\n",
        s.name.c_str(), median(r, &run::sender_rate), median(r, &run::lost),
        sum(r, &run::lost),
        r.front().told < 0 ? "-" : std::to_string(sum(r, &run::told)).c_str(),
        sum(r, &run::malformed),
        std::count_if(r.begin(), r.end(), [](const run& x) { return x.quit; }),
        r.size(), figure(median(r, &run::cpu_per_line), "%.3f").c_str(),
        figure(median(r, &run::p50_us), "%.0f").c_str(),
        figure(median(r, &run::p99_us), "%.0f").c_str(),
        figure(sorted(r, &run::receiver_kib).back(), "%.0f").c_str(),
        figure(sorted(r, &run::sender_kib).back(), "%.0f").c_str());
  }
}

// The ratios of a figure, run by run, of the server's runs to the printing
// limit's that alternated with them, from the lowest.
std::vector<double> ratios(const std::vector<run>& server,
                           const std::vector<run>& limit, double run::*figure) {
  std::vector<double> values;
  for (std::size_t i = 0; i < server.size() && i < limit.size(); ++i) {
    values.push_back(server[i].*figure / std::max(limit[i].*figure, 1e-9));
  }
  std::sort(values.begin(), values.end());
  return values;
}

// Prints a verdict on a ratio of medians and the spread of the ratios run by
// run; tells whether its goal is met.
bool ratio_verdict(const char* what, const std::string& length,
                   const std::vector<run>& server,
                   const std::vector<run>& limit, double run::*figure,
                   double goal) {
  const double ratio = median(server, figure) / median(limit, figure);
  const auto spread = ratios(server, limit, figure);
  const bool met = ratio <= goal;
  std::printf(
      "  %s, server / printing limit, %s: %.2f (runs %.2f to %.2f), goal at "
      "most %.2f: %s\n",
      what, length.c_str(), ratio, spread.front(), spread.back(), goal,
      met ? "met" : "NOT MET");
  return met;
}

// Prints the verdicts, each pair of rows being the server's runs and then
// the printing limit's; tells whether every goal is met.
bool print_verdicts(const std::vector<scenario>& rows, int lines,
                    int queue_kib) {
  const auto verdict = [](bool met) { return met ? "met" : "NOT MET"; };
  // A short run weighs each program's start more than the goals allow for.
  std::printf(
      "\nVerdicts, net.core.rmem_max %ld (receive queues of %d KiB)%s:"
      "\n",
      cap(), queue_kib,
      lines < goal_lines ? ", the goals are for 100000 lines a run" : "");
  bool all_met = true;
  bool accounted = true;
  long peak_kib = 0;
  for (std::size_t i = 0; i + 1 < rows.size(); i += 2) {
    const auto& server = rows[i].runs;
    const auto& limit = rows[i + 1].runs;
    if (server.empty() || limit.empty()) continue;
    const std::string& name = rows[i].name;
    const std::string length = name.substr(name.find(' ') + 1);
    const auto lost = sorted(server, &run::lost);
    const auto limit_lost = sorted(limit, &run::lost);
    if (name.compare(0, 5, "pair ") == 0) {
      const bool met = median_of(lost) <= median_of(limit_lost) &&
                       sum(server, &run::lost) <= sum(limit, &run::lost);
      std::printf(
          "  lines lost, one client, server / printing limit, %s: %.0f / %.0f"
          " in the median run, %ld / %ld in all (runs %ld to %ld / %ld to "
          "%ld), goal no more in either: %s\n",
          length.c_str(), median_of(lost), median_of(limit_lost),
          sum(server, &run::lost), sum(limit, &run::lost), lost.front(),
          lost.back(), limit_lost.front(), limit_lost.back(), verdict(met));
      all_met = all_met && met;
    } else if (name.compare(0, 5, "pipe-") == 0 ||
               name.compare(0, 5, "four-") == 0) {
      const bool met = sum(server, &run::lost) <= sum(limit, &run::lost);
      std::printf(
          "  lines lost through a pipe read at full speed, %s, server / "
          "printing limit, %s: %.0f / %.0f in the median run, %ld / %ld in "
          "all (runs %ld to %ld / %ld to %ld), goal no more in all: %s\n",
          name.compare(0, 5, "four-") == 0 ? "four clients" : "one client",
          length.c_str(), median_of(lost), median_of(limit_lost),
          sum(server, &run::lost), sum(limit, &run::lost), lost.front(),
          lost.back(), limit_lost.front(), limit_lost.back(), verdict(met));
      all_met = all_met && met;
    } else if (name.compare(0, 5, "slow-") == 0) {
      const bool met = sum(server, &run::lost) == 0;
      std::printf(
          "  lines lost through a slow reader, server / printing limit, %s: "
          "%ld / %ld in all (runs %ld to %ld / %ld to %ld), goal 0 for the "
          "server: %s\n",
          length.c_str(), sum(server, &run::lost), sum(limit, &run::lost),
          lost.front(), lost.back(), limit_lost.front(), limit_lost.back(),
          verdict(met));
      all_met = all_met && met;
    } else if (name.compare(0, 8, "latency-") == 0) {
      all_met = ratio_verdict("latency p50", length, server, limit,
                              &run::p50_us, 1.2) &&
                all_met;
      all_met = ratio_verdict("latency p99", length, server, limit,
                              &run::p99_us, 1.2) &&
                all_met;
    } else {
      all_met = ratio_verdict("CPU per line", length, server, limit,
                              &run::cpu_per_line, 1.10) &&
                all_met;
    }
    accounted =
        accounted && std::all_of(server.begin(), server.end(),
                                 [](const run& r) { return r.accounted; });
    peak_kib = std::max(peak_kib, sorted(server, &run::receiver_kib).back());
  }
  // The queue's lines, and what the server needs besides.
  const long bound_kib = static_cast<long>(queue_size >> 10) + 8192;
  std::printf("  shown + told = sent, every run of the server: %s\n",
              verdict(accounted));
  std::printf("  peak memory of the server: %ld KiB, goal at most %ld: %s\n",
              peak_kib, bound_kib, verdict(peak_kib <= bound_kib));
  std::printf(
      "\nbench/README.md describes the method and the latest results.\n");
  return all_met && accounted && peak_kib <= bound_kib;
}

enum class receiver_kind { server, printing_limit };
enum class sender_kind { client, four_clients, blast, timed };
enum class reader_kind { file, slow, fast, bench };

// A started receiver, its output going to `out`.
struct receiver {
  pid_t pid = -1;
  std::uint16_t port = 0;
  int errors = -1;  // the server's standard error, read once it has ended
};

receiver start_receiver(const options& o, receiver_kind kind, int out) {
  receiver r;
  if (kind == receiver_kind::printing_limit) {
    const udp_socket socket;
    deepen_queue(socket.fd());  // the server's queue
    r.port = socket.port();
    r.pid = start_function([&] { return print_datagrams(socket.fd(), out); },
                           cpu_for(0));
    return r;
  }
  // The server is told to take any free port, and says which on its standard
  // error; the pipe holds what it tells later.
  int in[2], err[2];
  if (pipe2(in, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0 &&
      write(in[1], "0\n", 2) == 2) {
    r.pid = start_program(o.server, {in[0], out, err[1]}, cpu_for(0));
    close(in[0]);
    close(in[1]);
    close(err[1]);
    std::string said;
    r.port = announced_port(
        next_line(err[0], said, process_clock::now() + port_limit));
    r.errors = err[0];
  }
  return r;
}

// Sends `lines` sentences of 8 bytes to `port`, one every latency gap, and
// reads their lines on `out` meanwhile; gives the latencies, in µs, from the
// lowest.
std::vector<double> time_lines(std::uint16_t port, int out, int lines) {
  const udp_socket sender;
  std::vector<process_clock::time_point> sent(lines);
  std::vector<double> latencies;
  std::string text;
  const auto start = process_clock::now();
  int next = 0;
  while (static_cast<int>(latencies.size()) < lines &&
         process_clock::now() < start + process_limit) {
    if (next < lines && process_clock::now() >= start + next * latency_gap) {
      sent[next] = process_clock::now();
      sender.send_to(port, line_text('A', next, 8) + '\0');
      ++next;
    }
    const auto due = start + next * latency_gap;
    std::string line =
        next_line(out, text, next < lines ? due : start + process_limit);
    const auto at = process_clock::now();
    const std::size_t says = line.find("says: A");
    if (says == std::string::npos) continue;
    const int index = std::atoi(line.c_str() + says + 7);
    if (index >= 0 && index < next) {
      latencies.push_back(
          std::chrono::duration<double, std::micro>(at - sent[index]).count());
    }
  }
  sender.send_to(port, std::string("Quit") + '\0');
  std::sort(latencies.begin(), latencies.end());
  return latencies;
}

// Starts the client on `input`, its port put in the first five bytes.
pid_t start_client(const options& o, const std::string& input,
                   std::uint16_t port, int cpu) {
  const int in = open(input.c_str(), O_RDWR | O_CLOEXEC);
  char text[8];
  std::snprintf(text, sizeof text, "%05u", port);
  if (pwrite(in, text, 5, 0) != 5) std::perror("bench: cannot set the port");
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t client = start_program(o.client, {in, null, STDERR_FILENO}, cpu);
  close(in);
  close(null);
  return client;
}

// One run: the client reading the first of `inputs`, the clients reading
// each of them at once, the blast or the timed sender into the receiver,
// whose output goes to a file, through the slow or the fast reader to a
// file, or to the benchmark; the receiver is ended by SIGTERM if it is
// still running after a quiet spell. `lines` counts every sender's.
run measure(const options& o, receiver_kind kind, sender_kind how,
            reader_kind reading, const std::vector<std::string>& inputs,
            int lines, int length) {
  const std::string out_path = o.work + "/receiver-output.txt";
  int file =
      open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  // What earlier runs wrote goes to disk now, not while this one runs.
  syncfs(file);
  int pipe_ends[2] = {-1, -1};
  pid_t reader = -1;
  if (reading != reader_kind::file && pipe2(pipe_ends, O_CLOEXEC) == 0) {
    if (reading == reader_kind::slow || reading == reader_kind::fast) {
      reader = start_function([&] {
        close(pipe_ends[1]);  // the input ends when the receiver's output does
        return read_slowly(
            pipe_ends[0], file,
            reading == reader_kind::slow ? slow_rate : full_speed);
      });
      close(pipe_ends[0]);
    }
    close(file);
    file = pipe_ends[1];
  }
  receiver r = start_receiver(o, kind, file);
  close(file);
  const auto started = process_clock::now();
  run result;
  pid_t sender = -1;
  shown s;
  if (how == sender_kind::blast) {
    sender = start_function([&] { return send_blast(r.port, lines, length); },
                            cpu_for(1));
  } else if (how == sender_kind::client) {
    sender = start_client(o, inputs.front(), r.port, cpu_for(1));
  } else if (how == sender_kind::four_clients) {
    // Each on any CPU; the last to end sends the stop word.
    sender = start_function([&] {
      std::vector<pid_t> clients(inputs.size());
      std::transform(inputs.begin(), inputs.end(), clients.begin(),
                     [&](const std::string& input) {
                       return start_client(o, input, r.port, -1);
                     });
      for (const pid_t client : clients) {
        wait_for(client, process_clock::now() + process_limit);
      }
      udp_socket().send_to(r.port, std::string("Quit") + '\0');
      return 0;
    });
  } else {
    const auto latencies = time_lines(r.port, pipe_ends[0], lines);
    result.p50_us = latencies.empty() ? 0 : latencies[latencies.size() / 2];
    result.p99_us =
        latencies.empty() ? 0 : latencies[latencies.size() * 99 / 100];
    s.lines = static_cast<long>(latencies.size());
  }
  const ending sent = sender > 0 ? wait_for(sender, started + process_limit)
                                 : ending{true, 0, 0, {}, process_clock::now()};
  // A slow reader takes its time over what the receiver holds.
  const auto reading_time = std::chrono::seconds(
      reading == reader_kind::slow ? lines * (length + 20L) / slow_rate : 0);
  const ending served = wait_for(r.pid, sent.at + quiet_limit + reading_time,
                                 nullptr, std::chrono::seconds(1), SIGTERM);
  wait_for(reader, served.at + process_limit);
  if (reading == reader_kind::bench) close(pipe_ends[0]);
  if (how == sender_kind::timed) {
    s.quit = true;
  } else {
    std::ifstream output(out_path, std::ios::binary);
    s = check_output(output, static_cast<int>(inputs.size()), length);
  }
  result.sender_rate =
      lines / std::chrono::duration<double>(sent.at - started).count();
  result.lost = lines - s.lines;
  result.malformed = s.malformed;
  result.quit = s.quit && served.exited && served.status == 0;
  timeval cpu{};
  timeradd(&served.usage.ru_utime, &served.usage.ru_stime, &cpu);
  // A few lines a second measure the start of a process more than lines.
  result.cpu_per_line =
      how == sender_kind::timed
          ? 0
          : static_cast<double>(cpu.tv_sec * 1000000 + cpu.tv_usec) /
                static_cast<double>(std::max(s.lines, 1L));
  result.receiver_kib = served.usage.ru_maxrss;
  if (how == sender_kind::client) result.sender_kib = sent.usage.ru_maxrss;
  if (r.errors >= 0) {
    std::string said, line, errors;
    while (!(line = next_line(r.errors, said, served.at + port_limit)).empty())
      errors += line + '\n';
    close(r.errors);
    result.told = 0;
    for (const char* what :
         {"dropped: receive queue full", "dropped: output queue full"}) {
      result.told += told_sum(errors, "server", "datagram", what);
    }
    // Every datagram sent, the stop sentence included, is shown or told.
    result.accounted = how == sender_kind::timed ||
                       s.lines + (s.quit ? 1 : 0) + result.told == lines + 1;
  }
  return result;
}

// The time from a stop signal to the server's end, with its queue full: its
// output a pipe that nobody reads, and 80 MB of lines sent, paced by its
// receive queue; in ms, from the lowest, one a run.
std::vector<double> time_stops(const options& o) {
  constexpr int stop_lines = 80000;
  constexpr int stop_length = 1000;
  constexpr long most_queued = 128 << 10;
  std::vector<double> times;
  for (int i = 0; i < o.runs; ++i) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) break;
    receiver r = start_receiver(o, receiver_kind::server, out[1]);
    close(out[1]);
    const udp_socket sender;
    for (int line = 0; line < stop_lines; ++line) {
      sender.send_to(r.port, line_text('A', line, stop_length) + '\0');
      const auto deadline = process_clock::now() + std::chrono::seconds(10);
      while (line % 64 == 0 && state_of_udp_port(r.port).queued > most_queued &&
             process_clock::now() < deadline) {
        usleep(200);
      }
    }
    const auto signalled = process_clock::now();
    kill(r.pid, SIGTERM);
    const ending end = wait_for(r.pid, signalled + process_limit);
    times.push_back(
        std::chrono::duration<double, std::milli>(end.at - signalled).count());
    close(out[0]);
    close(r.errors);
  }
  std::sort(times.begin(), times.end());
  return times;
}

// Runs the server and the printing limit `o.runs` times each, alternating, so
// that whatever drifts on the machine meanwhile weighs on both alike.
void alternate(const options& o, const std::string& name,
               const std::string& limit_name, sender_kind how,
               reader_kind reading, const std::vector<std::string>& inputs,
               int lines, int length, std::vector<scenario>& rows) {
  const std::string key = " " + std::to_string(length) + "B";
  scenario server{name + key, {}}, limit{limit_name + key, {}};
  const bool wanted = server.name.find(o.only) != std::string::npos ||
                      limit.name.find(o.only) != std::string::npos;
  for (int i = 0; wanted && i < o.runs; ++i) {
    server.runs.push_back(
        measure(o, receiver_kind::server, how, reading, inputs, lines, length));
    print_run(server.name, i, server.runs.back());
    limit.runs.push_back(measure(o, receiver_kind::printing_limit, how, reading,
                                 inputs, lines, length));
    print_run(limit.name, i, limit.runs.back());
  }
  rows.push_back(server);
  rows.push_back(limit);
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  if (!parse_options(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: bench [--server PATH] [--client PATH] [--lines N]"
                 " [--runs N] [--work DIR] [--only TEXT]\n");
    return 2;
  }
  std::string dir = o.work + "/bench-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) {
    std::perror("bench: cannot make a work folder");
    return 1;
  }
  o.work = dir;
  const udp_socket probe;
  const int queue_kib = deepen_queue(probe.fd()) / 1024;
  print_facts_and_legend(queue_kib, o);
  {
    // What the server holds while it waits for its first datagram.
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    receiver idle = start_receiver(o, receiver_kind::server, null);
    close(null);
    std::printf("bench: the server waiting holds %ld KiB\n\n",
                resident_kib(idle.pid));
    kill_child(idle.pid);
    close(idle.errors);
  }
  const auto started = process_clock::now();
  std::vector<scenario> rows;
  for (const int length : {8, 1000}) {
    const std::string input = write_client_input(o.work, o.lines, length);
    alternate(o, "pair", "client-limit", sender_kind::client, reader_kind::file,
              {input}, o.lines, length, rows);
    const int slow_lines = length == 8 ? o.lines : o.lines / long_line_share;
    const std::string slow_input =
        write_client_input(o.work, slow_lines, length);
    alternate(o, "slow-server", "slow-limit", sender_kind::client,
              reader_kind::slow, {slow_input}, slow_lines, length, rows);
    alternate(o, "pipe-server", "pipe-limit", sender_kind::client,
              reader_kind::fast, {input}, o.lines, length, rows);
    alternate(o, "server-blast", "limit-blast", sender_kind::blast,
              reader_kind::file, {""}, o.lines, length, rows);
    std::remove(input.c_str());
    std::remove(slow_input.c_str());
  }
  {
    // Clients at once, each a share of a run's lines, into a pipe read at
    // full speed.
    constexpr int length = 1000;
    const int share = o.lines / clients_at_once;
    std::vector<std::string> inputs;
    inputs.reserve(clients_at_once);
    for (int i = 0; i < clients_at_once; ++i) {
      inputs.push_back(write_client_input(o.work, share, length,
                                          static_cast<char>('A' + i), false));
    }
    alternate(o, "four-server", "four-limit", sender_kind::four_clients,
              reader_kind::fast, inputs, share * clients_at_once, length, rows);
    for (const std::string& input : inputs) std::remove(input.c_str());
  }
  alternate(o, "latency-server", "latency-limit", sender_kind::timed,
            reader_kind::bench, {""}, o.lines / latency_share, 8, rows);
  print_table(rows);
  bool met = print_verdicts(rows, o.lines, queue_kib);
  if (std::string("stop").find(o.only) != std::string::npos || o.only.empty()) {
    // A stop signal ends the server within a tenth of a second, its queue
    // full or not.
    const std::vector<double> stops = time_stops(o);
    const bool in_time = !stops.empty() && median_of(stops) <= 100;
    std::printf(
        "  stop signal to end, the server's queue full: %.0f ms in the median "
        "run (runs %.0f to %.0f), goal at most 100: %s\n",
        median_of(stops), stops.empty() ? 0 : stops.front(),
        stops.empty() ? 0 : stops.back(), in_time ? "met" : "NOT MET");
    met = met && in_time;
  }
  std::printf(
      "\nbench: done in %.0f s\n",
      std::chrono::duration<double>(process_clock::now() - started).count());
  std::remove((o.work + "/receiver-output.txt").c_str());
  rmdir(o.work.c_str());
  return met ? 0 : 1;
}
