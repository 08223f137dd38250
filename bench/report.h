// Sums up the runs of each scenario and prints them as Markdown tables.
#ifndef BENCH_REPORT_H_
#define BENCH_REPORT_H_

#include <string>
#include <vector>

#include "bench/scenarios.h"

// The runs of one scenario: medians of rates and CPU time, sums of lines.
struct summary {
  std::string name;  // "<shape> <length>B <placement>"
  int runs = 0;
  double sender_rate = 0;
  double delivered_rate = 0;
  double cpu_per_line = 0;
  long lost = 0;
  long told = -1;  // -1 when no run was of the server
  long malformed = 0;
  int quit_runs = 0;
  int loss_runs = 0;
  int unaccounted_runs = 0;
  long receiver_rss = 0;
  long sender_rss = 0;
};

summary summarize(const std::string& name, const std::vector<run>& runs);

// Opens the report: the machine's facts that shape it, and what each
// receiver, sender, scenario and column is.
void print_facts_and_legend(const options& o);

void print_run(const std::string& name, int index, const run& r);

// Ends the report with a line for each goal, met or not.
void print_verdicts(const std::vector<summary>& rows);

// Every scenario, with rates as ratios to the limit of the same length and
// placement: the row named "limit <length>B <placement>".
void print_scenarios(const std::vector<summary>& rows);

// The server against the printing limit: several clients at once, and CPU
// time per shown line under the blast.
void print_comparisons(const std::vector<summary>& rows);

#endif  // BENCH_REPORT_H_
