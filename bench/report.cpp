#include "bench/report.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "support/udp.h"

namespace {

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

const summary* find(const std::vector<summary>& rows, const std::string& name) {
  const auto row =
      std::find_if(rows.begin(), rows.end(),
                   [&](const summary& s) { return s.name == name; });
  return row != rows.end() && row->runs > 0 ? &*row : nullptr;
}

// The name without its first word: "8B pinned" of "pair 8B pinned".
std::string key_of(const std::string& name) {
  return name.substr(name.find(' ') + 1);
}

// The ratio of a figure to its limit, or "-" where there is none.
std::string ratio(double value, double limit) {
  if (limit <= 0) return "-";
  char text[16];
  std::snprintf(text, sizeof text, "%.2f", value / limit);
  return text;
}

// A program that was not run, or ended before it could be sampled, has no
// figure.
std::string kib(long value) {
  return value > 0 ? std::to_string(value) : std::string("-");
}

}  // namespace

summary summarize(const std::string& name, const std::vector<run>& runs) {
  summary s;
  s.name = name;
  s.runs = static_cast<int>(runs.size());
  std::vector<double> sent, delivered, cpu;
  for (const auto& r : runs) {
    sent.push_back(r.sender_rate);
    delivered.push_back(r.delivered_rate);
    cpu.push_back(r.cpu_per_line);
    s.lost += r.lost;
    if (r.told >= 0) s.told = std::max(s.told, 0L) + r.told;
    s.malformed += r.malformed;
    s.quit_runs += r.quit ? 1 : 0;
    s.loss_runs += r.lost > 0 ? 1 : 0;
    s.unaccounted_runs += r.accounted ? 0 : 1;
    s.receiver_rss = std::max(s.receiver_rss, r.receiver_rss);
    s.sender_rss = std::max(s.sender_rss, r.sender_rss);
  }
  s.sender_rate = median(sent);
  s.delivered_rate = median(delivered);
  s.cpu_per_line = median(cpu);
  return s;
}

void print_facts_and_legend(const options& o) {
  long cap = 0;
  std::ifstream("/proc/sys/net/core/rmem_max") >> cap;
  const udp_socket probe;
  int queue = 0;
  socklen_t length = sizeof queue;
  getsockopt(probe.fd(), SOL_SOCKET, SO_RCVBUF, &queue, &length);
  std::printf(
      "bench: %ld cores, net.core.rmem_max %ld: a receiver's queue is %d KiB"
      " (the server's 8 MiB where it may pass the cap)\n"
      "bench: %d lines a run, %d runs of each; server %s, client %s\n\n",
      sysconf(_SC_NPROCESSORS_ONLN), cap, queue / 1024, o.lines, o.runs,
      o.server.c_str(), o.client.c_str());
  std::printf(
      "Receivers: server; the printing limit (recvmmsg in batches, one writev\n"
      "a batch, no escaping: the least a printing receiver does); a counter.\n"
      "Senders: client; the sending limit (one sendto a line); the blast (64\n"
      "lines a sendmmsg). Scenarios: limit = sending limit into the counter;\n"
      "pair and client-limit = client into the server, and into the printing\n"
      "limit, alternating; client-alone = client into the counter;\n"
      "server-blast and limit-blast = the blast into each, alternating.\n"
      "Columns: sent and delivered lines a second (ratio to limit: higher is\n"
      "better); lost = lines sent and not shown; told = drops the server told\n"
      "(lost and told match when nothing goes untold); cpu = the receiver's\n"
      "CPU time per shown line (ratio to the printing limit: lower is "
      "better),\n"
      "only where a receiver of ours was measured.\n\n");
}

void print_run(const std::string& name, int index, const run& r) {
  char cpu[32] = "-";
  if (r.cpu_per_line > 0) {
    std::snprintf(cpu, sizeof cpu, "%.2f us/line", r.cpu_per_line);
  }
  std::printf(
      "  %-30s run %d: sent %9.0f/s  delivered %9.0f/s  lost %6ld  told %6s"
      "  malformed %ld  quit %s  cpu %s%s\n",
      name.c_str(), index + 1, r.sender_rate, r.delivered_rate, r.lost,
      r.told >= 0 ? std::to_string(r.told).c_str() : "-", r.malformed,
      r.quit ? "yes" : "NO", cpu, r.accounted ? "" : "  SHOWN + TOLD != SENT");
  std::fflush(stdout);
}

void print_verdicts(const std::vector<summary>& rows) {
  constexpr double cpu_goal = 1.10;
  std::printf("\nVerdicts:\n");
  for (const auto& s : rows) {
    if (s.runs == 0) continue;
    const std::string key = key_of(s.name);
    const std::string kind = s.name.substr(0, s.name.find(' '));
    if (kind == "server-blast") {
      const summary* limit = find(rows, "limit-blast " + key);
      if (limit == nullptr || limit->cpu_per_line <= 0) continue;
      const double ratio = s.cpu_per_line / limit->cpu_per_line;
      std::printf(
          "  CPU per line, server / printing limit, %s: %.2f, goal at most "
          "%.2f: %s\n",
          key.c_str(), ratio, cpu_goal, ratio <= cpu_goal ? "met" : "NOT MET");
    } else if (kind == "pair") {
      const summary* limit = find(rows, "client-limit " + key);
      if (limit == nullptr) continue;
      std::printf(
          "  lines lost, one client, server / printing limit, %s: %ld / %ld,"
          " goal no more: %s\n",
          key.c_str(), s.lost, limit->lost,
          s.lost <= limit->lost ? "met" : "NOT MET");
      std::printf("  shown + told = sent, server, %s: %s\n", key.c_str(),
                  s.unaccounted_runs == 0 ? "met" : "NOT MET");
    }
  }
  std::printf(
      "\nbench/README.md describes the method and the latest results.\n");
}

void print_scenarios(const std::vector<summary>& rows) {
  std::printf(
      "\n| scenario | sent lines/s | ratio | delivered lines/s | ratio | lost "
      "(all runs) | told | malformed | Quit seen | max RSS receiver/sender "
      "KiB |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const auto& s : rows) {
    if (s.runs == 0) continue;
    const summary* limit = find(rows, "limit " + key_of(s.name));
    const double sent_limit = limit != nullptr ? limit->sender_rate : 0;
    const double delivered_limit = limit != nullptr ? limit->delivered_rate : 0;
    std::printf(
        "| %s | %.0f | %s | %.0f | %s | %ld | %s | %ld | %d/%d | %s/%s |\n",
        s.name.c_str(), s.sender_rate, ratio(s.sender_rate, sent_limit).c_str(),
        s.delivered_rate, ratio(s.delivered_rate, delivered_limit).c_str(),
        s.lost, s.told >= 0 ? std::to_string(s.told).c_str() : "-", s.malformed,
        s.quit_runs, s.runs, kib(s.receiver_rss).c_str(),
        kib(s.sender_rss).c_str());
  }
}

void print_comparisons(const std::vector<summary>& rows) {
  std::printf(
      "\n| several clients at once | receiver | runs | runs with loss | lost "
      "(all runs) | told | shown + told = sent |\n"
      "|---|---|---:|---:|---:|---:|---:|\n");
  for (const auto& s : rows) {
    if (s.runs == 0 || s.name.find("clients ") == std::string::npos) continue;
    const std::string receiver = s.name.substr(s.name.rfind(' ') + 1);
    std::printf("| %s | %s | %d | %d | %ld | %s | %s |\n",
                s.name.substr(0, s.name.rfind(' ')).c_str(), receiver.c_str(),
                s.runs, s.loss_runs, s.lost,
                s.told >= 0 ? std::to_string(s.told).c_str() : "-",
                s.told >= 0 ? (s.unaccounted_runs == 0 ? "yes" : "NO") : "-");
  }
  std::printf(
      "\n| under the blast | server CPU us/line | printing limit CPU us/line "
      "| ratio |\n|---|---:|---:|---:|\n");
  for (const auto& s : rows) {
    if (s.runs == 0 || s.name.compare(0, 13, "server-blast ") != 0) continue;
    const summary* limit = find(rows, "limit-blast " + key_of(s.name));
    if (limit == nullptr) continue;
    std::printf("| %s | %.3f | %.3f | %s |\n", key_of(s.name).c_str(),
                s.cpu_per_line, limit->cpu_per_line,
                ratio(s.cpu_per_line, limit->cpu_per_line).c_str());
  }
}
