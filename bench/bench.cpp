// End-to-end benchmark of the real server and client on loopback, against
// a minimal sender and receiver of its own measured the same way: it runs
// them in alternating pairs, then reports each run, a table of the runs
// summed up, and a verdict for each goal.
#include <fcntl.h>
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
#include "server/receiving.h"
#include "support/process.h"
#include "support/told.h"
#include "support/udp.h"

namespace {

constexpr auto process_limit = std::chrono::seconds(120);
constexpr auto quiet_limit = std::chrono::seconds(3);
constexpr auto port_limit = std::chrono::seconds(5);
constexpr int goal_lines = 100000;  // a run's lines that the goals are for

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
double median(const std::vector<run>& runs, T run::*figure) {
  const auto v = sorted(runs, figure);
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2]
                    : static_cast<double>(v[n / 2 - 1] + v[n / 2]) / 2;
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

void print_facts_and_legend(int queue_kib, int lines, int runs) {
  long cap = 0;
  std::ifstream("/proc/sys/net/core/rmem_max") >> cap;
  std::printf(
      "bench: %ld cores, net.core.rmem_max %ld: each receiver's queue is %d "
      "KiB\nbench: %d lines a run, %d runs of each scenario, alternating in "
      "pairs\nbench: a child starts at %ld KiB, which its peak memory "
      "counts\n\n"
      "Receivers: the server; the printing limit (recvmmsg in batches, one\n"
      "writev a batch, no escaping: the least a printing receiver does).\n"
      "Senders: the client, reading a file; the blast (64 datagrams a\n"
      "sendmmsg). Receiver on CPU 0, sender on CPU 1. Scenarios: pair and\n"
      "client-limit = the client into each receiver; server-blast and\n"
      "limit-blast = the blast into each. Columns: lines sent a second;\n"
      "lost = not shown; told = the server's drop lines, which make up what\n"
      "it lost; CPU = the receiver's user and system time per shown line\n"
      "(lower is better); peak memory. Rates, CPU: medians of the runs.\n\n",
      sysconf(_SC_NPROCESSORS_ONLN), cap, queue_kib, lines, runs, forked_kib());
}

void print_run(const std::string& name, int index, const run& r) {
  std::printf(
      "  %-20s run %d: sent %9.0f/s  lost %6ld  told %6s"
      "  malformed %ld  quit %s  cpu %s%s\n",
      name.c_str(), index + 1, r.sender_rate, r.lost,
      r.told >= 0 ? std::to_string(r.told).c_str() : "-", r.malformed,
      r.quit ? "yes" : "NO", figure(r.cpu_per_line, "%.2f us/line").c_str(),
      r.accounted ? "" : "  SHOWN + TOLD != SENT");
  std::fflush(stdout);
}

void print_table(const std::vector<scenario>& rows) {
  std::printf(
      "\n| scenario | sent lines/s | lost: median run | all "
      "runs | told | malformed | Quit seen | CPU us/line | peak KiB "
      "receiver/sender |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|"
      "\n");
  for (const auto& s : rows) {
    const auto& r = s.runs;
    if (r.empty()) continue;
    std::printf(
        "| %s | %.0f | %.0f | %ld | %s | %ld | %ld/%zu | %s | %s/%s |\n",
        s.name.c_str(), median(r, &run::sender_rate), median(r, &run::lost),
        sum(r, &run::lost),
        r.front().told < 0 ? "-" : std::to_string(sum(r, &run::told)).c_str(),
        sum(r, &run::malformed),
        std::count_if(r.begin(), r.end(), [](const run& x) { return x.quit; }),
        r.size(), figure(median(r, &run::cpu_per_line), "%.3f").c_str(),
        figure(sorted(r, &run::receiver_kib).back(), "%.0f").c_str(),
        figure(sorted(r, &run::sender_kib).back(), "%.0f").c_str());
  }
}

// Each pair of rows is the server's runs, then the printing limit's.
void print_verdicts(const std::vector<scenario>& rows, int lines) {
  constexpr double cpu_goal = 1.10;
  const auto verdict = [](bool met) { return met ? "met" : "NOT MET"; };
  // A short run weighs each program's start more than the goals allow for.
  std::printf("\nVerdicts%s:\n", lines < goal_lines
                                     ? " (the goals are for 100000 lines a run)"
                                     : "");
  bool accounted = true;
  for (std::size_t i = 0; i + 1 < rows.size(); i += 2) {
    const auto& server = rows[i].runs;
    const auto& limit = rows[i + 1].runs;
    if (server.empty() || limit.empty()) continue;
    const std::string& name = rows[i].name;
    const std::string length = name.substr(name.find(' ') + 1);
    if (name.compare(0, 5, "pair ") == 0) {
      const double lost = median(server, &run::lost);
      const double limit_lost = median(limit, &run::lost);
      std::printf(
          "  lines lost, one client, server / printing limit, %s: %.0f / %.0f"
          " in the median run (%ld / %ld in all), goal no more: %s\n",
          length.c_str(), lost, limit_lost, sum(server, &run::lost),
          sum(limit, &run::lost), verdict(lost <= limit_lost));
    } else {
      const double ratio = median(server, &run::cpu_per_line) /
                           median(limit, &run::cpu_per_line);
      std::printf(
          "  CPU per line, server / printing limit, %s: %.2f, goal at most "
          "%.2f: %s\n",
          length.c_str(), ratio, cpu_goal, verdict(ratio <= cpu_goal));
    }
    accounted =
        accounted && std::all_of(server.begin(), server.end(),
                                 [](const run& r) { return r.accounted; });
  }
  std::printf("  shown + told = sent, every run of the server: %s\n",
              verdict(accounted));
  std::printf(
      "\nbench/README.md describes the method and the latest results.\n");
}

enum class receiver_kind { server, printing_limit };

// A started receiver, its output going to a file.
struct receiver {
  pid_t pid = -1;
  std::uint16_t port = 0;
  int errors = -1;  // the server's standard error, read once it has ended
};

receiver start_receiver(const options& o, receiver_kind kind,
                        const std::string& out_path) {
  receiver r;
  const int out =
      open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  // What earlier runs wrote goes to disk now, not while this one runs.
  syncfs(out);
  if (kind == receiver_kind::printing_limit) {
    const udp_socket socket;
    deepen_queue(socket.fd());  // the server's queue
    r.port = socket.port();
    r.pid = start_function([&] { return print_datagrams(socket.fd(), out); },
                           cpu_for(0));
    close(out);
    return r;
  }
  // The server is told to take any free port, and says which on its standard
  // error, where it tells at most a line a second later: the pipe holds them.
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
  close(out);
  return r;
}

// One run: the client reading `input` (or, if it is empty, the blast) into
// the receiver, which is ended by SIGTERM if it is still running after a
// quiet spell.
run measure(const options& o, receiver_kind kind, const std::string& input,
            int length) {
  const std::string out = o.work + "/receiver-output.txt";
  receiver r = start_receiver(o, kind, out);
  const auto started = process_clock::now();
  pid_t sender = -1;
  if (input.empty()) {
    sender = start_function([&] { return send_blast(r.port, o.lines, length); },
                            cpu_for(1));
  } else {
    // The port goes into the first five bytes of the client's input.
    const int in = open(input.c_str(), O_RDWR | O_CLOEXEC);
    char port[8];
    std::snprintf(port, sizeof port, "%05u", r.port);
    if (pwrite(in, port, 5, 0) != 5) std::perror("bench: cannot set the port");
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    sender = start_program(o.client, {in, null, STDERR_FILENO}, cpu_for(1));
    close(in);
    close(null);
  }
  const ending sent = wait_for(sender, started + process_limit);
  const ending served = wait_for(r.pid, sent.at + quiet_limit, nullptr,
                                 std::chrono::seconds(1), SIGTERM);
  std::ifstream output(out, std::ios::binary);
  const shown s = check_output(output, 1, length);
  run result;
  result.sender_rate =
      o.lines / std::chrono::duration<double>(sent.at - started).count();
  result.lost = o.lines - s.lines;
  result.malformed = s.malformed;
  result.quit = s.quit && served.exited && served.status == 0;
  timeval cpu{};
  timeradd(&served.usage.ru_utime, &served.usage.ru_stime, &cpu);
  result.cpu_per_line =
      static_cast<double>(cpu.tv_sec * 1000000 + cpu.tv_usec) /
      static_cast<double>(std::max(s.lines, 1L));
  result.receiver_kib = served.usage.ru_maxrss;
  if (!input.empty()) result.sender_kib = sent.usage.ru_maxrss;
  if (r.errors >= 0) {
    // Every datagram sent, the stop sentence included, is shown or told.
    std::string said, line, errors;
    while (!(line = next_line(r.errors, said, served.at + port_limit)).empty())
      errors += line + '\n';
    close(r.errors);
    result.told = 0;
    for (const char* what :
         {"dropped: receive queue full", "dropped: output queue full"}) {
      result.told += told_sum(errors, "server", "datagram", what);
    }
    result.accounted = s.lines + (s.quit ? 1 : 0) + result.told == o.lines + 1;
  }
  return result;
}

// Runs the server and the printing limit `o.runs` times each, alternating, so
// that whatever drifts on the machine meanwhile weighs on both alike.
void alternate(const options& o, const std::string& server_name,
               const std::string& limit_name, const std::string& input,
               int length, std::vector<scenario>& rows) {
  scenario server{server_name, {}}, limit{limit_name, {}};
  const bool wanted = server_name.find(o.only) != std::string::npos ||
                      limit_name.find(o.only) != std::string::npos;
  for (int i = 0; wanted && i < o.runs; ++i) {
    server.runs.push_back(measure(o, receiver_kind::server, input, length));
    print_run(server_name, i, server.runs.back());
    limit.runs.push_back(
        measure(o, receiver_kind::printing_limit, input, length));
    print_run(limit_name, i, limit.runs.back());
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
  print_facts_and_legend(deepen_queue(probe.fd()) / 1024, o.lines, o.runs);
  const auto started = process_clock::now();
  std::vector<scenario> rows;
  for (const int length : {8, 1000}) {
    const std::string input = write_client_input(o.work, o.lines, length);
    const std::string key = " " + std::to_string(length) + "B";
    alternate(o, "pair" + key, "client-limit" + key, input, length, rows);
    alternate(o, "server-blast" + key, "limit-blast" + key, "", length, rows);
    std::remove(input.c_str());
  }
  print_table(rows);
  print_verdicts(rows, o.lines);
  std::printf(
      "\nbench: done in %.0f s\n",
      std::chrono::duration<double>(process_clock::now() - started).count());
  std::remove((o.work + "/receiver-output.txt").c_str());
  rmdir(o.work.c_str());
  return 0;
}
