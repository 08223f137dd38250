// The benchmark's own minimal senders and receivers, each the least that
// its kind of program can do, run in child processes.
#ifndef BENCH_RECEIVERS_H_
#define BENCH_RECEIVERS_H_

#include <cstdint>
#include <string>
#include <vector>

// Sends each payload to `port` on loopback with one call each.
int send_one_by_one(std::uint16_t port, const std::vector<std::string>& all);

// Sends the payloads to `port` on loopback in batches of one call each.
int send_batched(std::uint16_t port, const std::vector<std::string>& all);

// Counts datagrams on `fd`, one call each, until the stop sentence or a
// quiet spell, and writes "<count> <1 if the stop sentence came>" to
// `report`.
int count_datagrams(int fd, int report);

// The printing limit: takes datagrams on `fd` in batches and writes the
// sender lines of each batch to `out` with one call, without escaping and
// without copying a payload, after the server's prompt; ends after showing
// the stop sentence.
int print_datagrams(int fd, int out);

#endif  // BENCH_RECEIVERS_H_
