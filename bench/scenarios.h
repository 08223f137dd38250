// One measured run of each shape: a sender into a receiver that only
// counts, a sender into the server or the printing limit, and several
// clients at once into either.
#ifndef BENCH_SCENARIOS_H_
#define BENCH_SCENARIOS_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct options {
  std::string server = "build/bin/server";
  std::string client = "build/bin/client";
  std::string work = "/tmp";
  int lines = 100000;
  int runs = 5;
  int client_runs = 8;  // of each receiver, alternating, with several clients
  int clients = 4;
  std::string only;  // runs only the scenarios whose names contain this
};

// What one run measured.
struct run {
  double sender_rate = 0;     // lines a second
  double delivered_rate = 0;  // lines a second
  long lost = 0;              // measured lines not shown
  long told = -1;             // drops the server told; -1 for others
  long malformed = 0;
  bool quit = false;      // the stop sentence was shown and ended the receiver
  bool accounted = true;  // shown and told add up to what was sent
  double cpu_per_line = 0;  // the receiver's CPU µs per shown line
  long receiver_rss = 0;    // peak resident memory, KiB; 0 if not sampled
  long sender_rss = 0;
};

// The receiver that shows the lines.
enum class receiver_kind { server, printing_limit };

// Starts a sender of the measured lines to `port`.
using sender_start = std::function<pid_t(std::uint16_t port)>;

// Starts the client on `cpu`, reading `input` with `port` put in, its
// prompts discarded.
pid_t start_client(const options& o, int cpu, const std::string& input,
                   std::uint16_t port);

// A sender (a program called `sender_name`, or none) into a receiver that
// only counts.
run measure_into_counter(const options& o, bool pinned,
                         const sender_start& start_sender,
                         const std::string& sender_name);

// A sender (a program called `sender_name`, or none) of lines of `length`
// into the server or the printing limit.
run measure_into_receiver(const options& o, receiver_kind kind, int length,
                          bool pinned, const sender_start& start_sender,
                          const std::string& sender_name);

// Several clients at once, one for each of `inputs`, into the server or the
// printing limit; the stop word comes last, from the benchmark itself.
run measure_clients(const options& o, receiver_kind kind,
                    const std::vector<std::string>& inputs, int length);

#endif  // BENCH_SCENARIOS_H_
