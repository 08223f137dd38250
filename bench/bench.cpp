// End-to-end benchmark of the real server and client on loopback, against
// minimal senders and receivers of its own measured the same way.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "bench/receivers.h"
#include "bench/report.h"
#include "bench/scenarios.h"
#include "bench/traffic.h"
#include "support/process.h"

namespace {

constexpr int sender_cpu = 1;

bool parse_options(int argc, char** argv, options& o) {
  std::map<std::string, std::string*> texts = {{"--server", &o.server},
                                               {"--client", &o.client},
                                               {"--work", &o.work},
                                               {"--only", &o.only}};
  std::map<std::string, int*> numbers = {{"--lines", &o.lines},
                                         {"--runs", &o.runs},
                                         {"--client-runs", &o.client_runs}};
  for (int i = 1; i < argc; i += 2) {
    const std::string flag = argv[i];
    if (i + 1 < argc && texts.count(flag) != 0) {
      *texts[flag] = argv[i + 1];
    } else if (i + 1 < argc && numbers.count(flag) != 0) {
      *numbers[flag] = std::max(1, std::atoi(argv[i + 1]));
    } else {
      return false;
    }
  }
  return true;
}

bool wanted(const options& o, const std::string& name) {
  return name.find(o.only) != std::string::npos ||
         name.compare(0, 6, "limit ") == 0;
}

// Runs `measure` `runs` times for the scenario `name`, printing each run.
template <typename Measure>
summary repeat(const options& o, int runs, const std::string& name,
               Measure measure) {
  std::vector<run> all;
  for (int i = 0; wanted(o, name) && i < runs; ++i) {
    all.push_back(measure());
    print_run(name, i, all.back());
  }
  return summarize(name, all);
}

// Runs two scenarios `runs` times each, alternating, so that whatever drifts
// on the machine meanwhile weighs on both alike.
template <typename MeasureA, typename MeasureB>
void alternate(const options& o, int runs, const std::string& name_a,
               MeasureA measure_a, const std::string& name_b,
               MeasureB measure_b, std::vector<summary>& rows) {
  std::vector<run> a, b;
  for (int i = 0; wanted(o, name_a) && i < runs; ++i) {
    a.push_back(measure_a());
    print_run(name_a, i, a.back());
    b.push_back(measure_b());
    print_run(name_b, i, b.back());
  }
  rows.push_back(summarize(name_a, a));
  rows.push_back(summarize(name_b, b));
}

// One client's lines through the pair, each side alone, and the server and
// the printing limit under a blast, for one length and placement.
void measure_one_sender(const options& o, int length, bool pinned,
                        std::vector<summary>& rows) {
  const auto all = payloads('A', o.lines, length, true);
  const std::string input =
      write_client_input(o.work, 'A', o.lines, length, true);
  const std::string key =
      std::to_string(length) + "B " + (pinned ? "pinned" : "unpinned");
  const int cpu = pinned ? sender_cpu : -1;
  const sender_start minimal = [&](std::uint16_t port) {
    return start_function([&] { return send_one_by_one(port, all); }, cpu);
  };
  const sender_start client = [&](std::uint16_t port) {
    return start_client(o, cpu, input, port);
  };
  const sender_start blaster = [&](std::uint16_t port) {
    return start_function([&] { return send_batched(port, all); }, cpu);
  };
  const std::string client_name = o.client.substr(o.client.rfind('/') + 1);
  rows.push_back(repeat(o, o.runs, "limit " + key, [&] {
    return measure_into_counter(o, pinned, minimal, "");
  }));
  alternate(
      o, o.runs, "pair " + key,
      [&] {
        return measure_into_receiver(o, receiver_kind::server, length, pinned,
                                     client, client_name);
      },
      "client-limit " + key,
      [&] {
        return measure_into_receiver(o, receiver_kind::printing_limit, length,
                                     pinned, client, client_name);
      },
      rows);
  rows.push_back(repeat(o, o.runs, "client-alone " + key, [&] {
    return measure_into_counter(o, pinned, client, client_name);
  }));
  alternate(
      o, o.runs, "server-blast " + key,
      [&] {
        return measure_into_receiver(o, receiver_kind::server, length, pinned,
                                     blaster, "");
      },
      "limit-blast " + key,
      [&] {
        return measure_into_receiver(o, receiver_kind::printing_limit, length,
                                     pinned, blaster, "");
      },
      rows);
  std::remove(input.c_str());
}

// Several clients at once into the server and into the printing limit, in
// runs that alternate between the two.
void measure_several_clients(const options& o, int length,
                             std::vector<summary>& rows) {
  std::vector<std::string> inputs;
  inputs.reserve(o.clients);
  for (int k = 0; k < o.clients; ++k) {
    inputs.push_back(write_client_input(o.work, static_cast<char>('A' + k),
                                        o.lines / o.clients, length, false));
  }
  const std::string name = std::to_string(o.clients) + "-clients " +
                           std::to_string(length) + "B unpinned";
  alternate(
      o, o.client_runs, name + " server",
      [&] { return measure_clients(o, receiver_kind::server, inputs, length); },
      name + " printing-limit",
      [&] {
        return measure_clients(o, receiver_kind::printing_limit, inputs,
                               length);
      },
      rows);
  for (const auto& input : inputs) std::remove(input.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  if (!parse_options(argc, argv, o)) {
    std::cerr << "usage: bench [--server PATH] [--client PATH] [--lines N]"
                 " [--runs N] [--client-runs N] [--work DIR] [--only TEXT]\n";
    return 2;
  }
  std::string dir = o.work + "/bench-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) {
    std::perror("bench: cannot make a work folder");
    return 1;
  }
  o.work = dir;
  print_facts_and_legend(o);
  const auto started = process_clock::now();
  std::vector<summary> rows;
  for (const int length : {8, 1000}) {
    for (const bool pinned : {true, false}) {
      measure_one_sender(o, length, pinned, rows);
    }
  }
  for (const int length : {8, 1000}) measure_several_clients(o, length, rows);
  print_scenarios(rows);
  print_comparisons(rows);
  print_verdicts(rows);
  std::printf(
      "\nbench: done in %.0f s\n",
      std::chrono::duration<double>(process_clock::now() - started).count());
  std::remove((o.work + "/receiver-output.txt").c_str());
  rmdir(o.work.c_str());
  return 0;
}
