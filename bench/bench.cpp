// End-to-end benchmark of the real server and client on loopback, against a
// minimal one-datagram-per-call sender and receiver measured the same way.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
constexpr auto process_limit = std::chrono::seconds(120);
constexpr auto quiet_limit = std::chrono::seconds(3);
constexpr int server_cpu = 0;
constexpr int sender_cpu = 1;
constexpr int blast_batch = 64;
const std::string sender_prefix = "127.0.0.1 says: ";
const std::string server_prompt = "Please enter your listening port: ";

struct options {
  std::string server = "build/bin/server";
  std::string client = "build/bin/client";
  std::string work = "/tmp";
  int lines = 100000;
  int runs = 5;
  int clients = 4;
  std::string only;  // runs only the scenarios whose names contain this
};

// The text of line `index` from sender `tag`: the tag, a 7-digit number and
// a filler that depends on both, so a cut or mixed line shows.
std::string line_text(char tag, int index, int length) {
  char head[16];
  std::snprintf(head, sizeof head, "%c%07d", tag, index);
  std::string text(head);
  for (int i = static_cast<int>(text.size()); i < length; ++i) {
    text += static_cast<char>('a' + (index + i) % 26);
  }
  return text.substr(0, length);
}

double seconds_between(clock_type::time_point a, clock_type::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

void pin(int cpu) {
  if (cpu < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

// A started process and when it started.
struct started {
  pid_t pid;
  clock_type::time_point at;
};

struct ended {
  bool exited = false;  // by itself, not killed at the limit
  int status = -1;
  long max_rss_kib = 0;
  clock_type::time_point at;
};

started start_program(const std::string& path, int cpu, int in, int out,
                      int err) {
  const auto at = clock_type::now();
  const pid_t pid = fork();
  if (pid == 0) {
    pin(cpu);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return {pid, at};
}

started start_function(int cpu, const std::function<int()>& body) {
  const auto at = clock_type::now();
  const pid_t pid = fork();
  if (pid == 0) {
    pin(cpu);
    _exit(body());
  }
  return {pid, at};
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

// Waits until `deadline` for the process to end, then kills it; samples the
// peak memory of a program called `name` meanwhile.
// A process whose peak memory is sampled while waiting for another.
struct watched {
  pid_t pid = -1;
  std::string name;
  long peak_kib = 0;
};

ended wait_for(pid_t pid, clock_type::time_point deadline,
               const std::string& name = "", watched* also = nullptr) {
  constexpr int sample_ms = 20;
  ended result;
  int status = 0;
  // A pidfd wakes us the moment the process ends.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  while (waitpid(pid, &status, WNOHANG) != pid) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - clock_type::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      status = -1;
      break;
    }
    if (!name.empty()) {
      result.max_rss_kib =
          std::max(result.max_rss_kib, peak_rss_kib(pid, name));
    }
    if (also != nullptr) {
      also->peak_kib =
          std::max(also->peak_kib, peak_rss_kib(also->pid, also->name));
    }
    pollfd p = {pidfd, POLLIN, 0};
    const int wait_ms =
        name.empty()
            ? static_cast<int>(left.count())
            : static_cast<int>(std::min<long>(left.count(), sample_ms));
    if (pidfd < 0 || poll(&p, 1, wait_ms) < 0) usleep(1000);
  }
  if (pidfd >= 0) close(pidfd);
  result.at = clock_type::now();
  result.exited = status != -1 && WIFEXITED(status);
  result.status = result.exited ? WEXITSTATUS(status) : -1;
  return result;
}

std::string base_name(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int bound_socket(std::uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int queue = 1 << 30;  // capped by the system, as the server's is
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &queue, sizeof queue);
  sockaddr_in address = loopback(0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("bench: bind");
  }
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

void send_quit(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_in to = loopback(port);
  sendto(fd, "Quit", 5, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  close(fd);
}

// The sentence datagrams of one sender, stop word last if asked.
std::vector<std::string> payloads(char tag, int lines, int length, bool quit) {
  std::vector<std::string> all;
  all.reserve(lines + 1);
  for (int i = 0; i < lines; ++i) {
    all.push_back(line_text(tag, i, length) + '\0');
  }
  if (quit) all.push_back(std::string("Quit\0", 5));
  return all;
}

// Counts datagrams, one call each, until the stop word or a quiet spell;
// returns the count through `report`.
int count_datagrams(int fd, int report) {
  timeval quiet{std::chrono::seconds(quiet_limit).count(), 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
  char buffer[65536];
  long count = 0;
  int quit = 0;
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0) break;
    if (n == 5 && std::memcmp(buffer, "Quit", 5) == 0) {
      quit = 1;
      break;
    }
    ++count;
  }
  const std::string line =
      std::to_string(count) + " " + std::to_string(quit) + "\n";
  return write(report, line.data(), line.size()) > 0 ? 0 : 1;
}

int send_one_by_one(std::uint16_t port, const std::vector<std::string>& all) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in to = loopback(port);
  for (const auto& payload : all) {
    sendto(fd, payload.data(), payload.size(), 0,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  return 0;
}

int send_batched(std::uint16_t port, const std::vector<std::string>& all) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to = loopback(port);
  std::vector<iovec> parts(all.size());
  std::vector<mmsghdr> messages(all.size());
  for (std::size_t i = 0; i < all.size(); ++i) {
    parts[i] = {const_cast<char*>(all[i].data()), all[i].size()};
    messages[i] = {};
    messages[i].msg_hdr.msg_name = &to;
    messages[i].msg_hdr.msg_namelen = sizeof to;
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  for (std::size_t sent = 0; sent < all.size();) {
    const int n =
        sendmmsg(fd, messages.data() + sent,
                 std::min<std::size_t>(blast_batch, all.size() - sent), 0);
    if (n <= 0) return 1;
    sent += n;
  }
  return 0;
}

// What one server run showed, read back from its output file.
struct shown {
  long lines = 0;      // well-formed sentence lines, in order per sender
  long malformed = 0;  // cut, mixed, foreign or out of order
  bool quit = false;   // the stop sentence was the last line
};

shown check_output(const std::string& path, int senders, int length) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  shown result;
  if (text.compare(0, server_prompt.size(), server_prompt) != 0) {
    result.malformed = 1;
    return result;
  }
  std::vector<int> next(senders, 0);
  std::size_t at = server_prompt.size();
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line == sender_prefix + "Quit") {
      result.quit = true;
      continue;
    }
    const bool prefixed =
        line.compare(0, sender_prefix.size(), sender_prefix) == 0 &&
        line.size() == sender_prefix.size() + length;
    const int sender = prefixed ? line[sender_prefix.size()] - 'A' : -1;
    const int index =
        prefixed ? std::atoi(line.c_str() + sender_prefix.size() + 1) : -1;
    if (sender < 0 || sender >= senders || index < next[sender] ||
        line.substr(sender_prefix.size()) !=
            line_text(static_cast<char>('A' + sender), index, length)) {
      ++result.malformed;
      continue;
    }
    next[sender] = index + 1;
    ++result.lines;
  }
  return result;
}

// One measured run: rates in lines per second and what arrived.
struct run {
  double sender_rate = 0;
  double delivered_rate = 0;
  long lost = 0;
  long malformed = 0;
  bool quit = false;
  long server_rss = 0;
  long client_rss = 0;
};

// Writes the client's input: its dialogue then the lines; the port is put
// in later, in the first five bytes.
std::string write_client_input(const options& o, char tag, int lines,
                               int length, bool quit) {
  std::string path = o.work + "/input-" + tag + "-" + std::to_string(length) +
                     (quit ? "q" : "") + ".txt";
  std::ofstream out(path, std::ios::binary);
  out << "00000\n127.0.0.1\n";
  for (int i = 0; i < lines; ++i) out << line_text(tag, i, length) << '\n';
  if (quit) out << "Quit\n";
  return path;
}

int open_input(const std::string& path, std::uint16_t port) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  char digits[8];
  std::snprintf(digits, sizeof digits, "%05u", port);
  pwrite(fd, digits, 5, 0);
  return fd;
}

// Starts the server on a port of its choosing, its output to `out_path`.
started start_server(const options& o, int cpu, const std::string& out_path,
                     std::uint16_t& port) {
  int in[2], err[2];
  pipe2(in, O_CLOEXEC);
  pipe2(err, O_CLOEXEC);
  const int out =
      open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const started server = start_program(o.server, cpu, in[0], out, err[1]);
  close(in[0]);
  close(out);
  close(err[1]);
  if (write(in[1], "0\n", 2) != 2) port = 0;
  close(in[1]);
  std::string said;
  char chunk[256];
  pollfd p = {err[0], POLLIN, 0};
  while (said.find('\n') == std::string::npos && poll(&p, 1, 5000) > 0) {
    const ssize_t n = read(err[0], chunk, sizeof chunk);
    if (n <= 0) break;
    said.append(chunk, n);
  }
  close(err[0]);
  const std::string prefix = "server: listening on port ";
  port =
      said.compare(0, prefix.size(), prefix) == 0
          ? static_cast<std::uint16_t>(std::atoi(said.c_str() + prefix.size()))
          : 0;
  return server;
}

ended wait_quietly(pid_t pid, clock_type::time_point after,
                   const std::string& name = "") {
  return wait_for(pid, after + quiet_limit, name);
}

// Starts a sender of the measured lines to `port`.
using sender_start = std::function<started(std::uint16_t port)>;

// The client on `cpu`, reading `input` sent to `port`, its prompts discarded.
started start_client(const options& o, int cpu, const std::string& input,
                     std::uint16_t port) {
  const int in = open_input(input, port);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const started client = start_program(o.client, cpu, in, null, STDERR_FILENO);
  close(in);
  close(null);
  return client;
}

// A sender (a program called `sender_name`, or none) into a receiver that
// only counts.
run measure_into_counter(const options& o, bool pinned,
                         const sender_start& start_sender,
                         const std::string& sender_name) {
  std::uint16_t port = 0;
  const int fd = bound_socket(port);
  int report[2];
  pipe2(report, O_CLOEXEC);
  const started receiver = start_function(
      pinned ? server_cpu : -1, [&] { return count_datagrams(fd, report[1]); });
  close(fd);
  close(report[1]);
  const started sender = start_sender(port);
  const ended sent =
      wait_for(sender.pid, sender.at + process_limit, sender_name);
  const ended received = wait_quietly(receiver.pid, sent.at);
  char line[64] = {};
  const ssize_t n = read(report[0], line, sizeof line - 1);
  close(report[0]);
  long count = 0;
  int quit = 0;
  if (n > 0) std::sscanf(line, "%ld %d", &count, &quit);
  run r;
  r.sender_rate = o.lines / seconds_between(sender.at, sent.at);
  r.delivered_rate =
      static_cast<double>(count) / seconds_between(sender.at, received.at);
  r.lost = o.lines - count;
  r.quit = quit == 1;
  r.client_rss = sent.max_rss_kib;
  return r;
}

// A sender (a program called `sender_name`, or none) into the server.
run measure_into_server(const options& o, int length, bool pinned,
                        const sender_start& start_sender,
                        const std::string& sender_name) {
  const std::string out = o.work + "/server-output.txt";
  std::uint16_t port = 0;
  const started server = start_server(o, pinned ? server_cpu : -1, out, port);
  const started sender = start_sender(port);
  watched server_memory{server.pid, base_name(o.server)};
  const ended sent = wait_for(sender.pid, sender.at + process_limit,
                              sender_name, &server_memory);
  const ended served = wait_quietly(server.pid, sent.at, base_name(o.server));
  const shown s = check_output(out, 1, length);
  run r;
  r.sender_rate = o.lines / seconds_between(sender.at, sent.at);
  r.delivered_rate =
      static_cast<double>(s.lines) / seconds_between(sender.at, served.at);
  r.lost = o.lines - s.lines;
  r.malformed = s.malformed;
  r.quit = s.quit && served.exited && served.status == 0;
  r.server_rss = std::max(served.max_rss_kib, server_memory.peak_kib);
  r.client_rss = sent.max_rss_kib;
  return r;
}

// Several clients at once into one server; the stop word comes last, from
// the benchmark itself.
run measure_clients(const options& o, const std::vector<std::string>& inputs,
                    int length) {
  const std::string out = o.work + "/server-output.txt";
  std::uint16_t port = 0;
  const started server = start_server(o, -1, out, port);
  std::vector<started> clients(inputs.size());
  std::transform(inputs.begin(), inputs.end(), clients.begin(),
                 [&](const std::string& input) {
                   return start_client(o, -1, input, port);
                 });
  auto last = clients.front().at;
  long client_rss = 0;
  long server_rss = 0;
  for (const auto& c : clients) {
    watched server_memory{server.pid, base_name(o.server)};
    const ended e = wait_for(c.pid, c.at + process_limit, base_name(o.client),
                             &server_memory);
    server_rss = std::max(server_rss, server_memory.peak_kib);
    last = std::max(last, e.at);
    client_rss = std::max(client_rss, e.max_rss_kib);
  }
  constexpr auto settle = std::chrono::milliseconds(200);
  std::this_thread::sleep_for(settle);  // the last datagrams reach the queue
  send_quit(port);
  const ended served = wait_quietly(server.pid, last, base_name(o.server));
  const long total = static_cast<long>(inputs.size()) * (o.lines / o.clients);
  const shown s = check_output(out, static_cast<int>(inputs.size()), length);
  run r;
  r.sender_rate =
      static_cast<double>(total) / seconds_between(clients.front().at, last);
  r.delivered_rate = static_cast<double>(s.lines) /
                     (seconds_between(clients.front().at, served.at) -
                      std::chrono::duration<double>(settle).count());
  r.lost = total - s.lines;
  r.malformed = s.malformed;
  r.quit = s.quit && served.exited && served.status == 0;
  r.server_rss = std::max(served.max_rss_kib, server_rss);
  r.client_rss = client_rss;
  return r;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct summary {
  std::string name;
  double sender_rate;
  double delivered_rate;
  long lost;  // in all runs
  long malformed;
  int quit_runs;
  int runs;
  long server_rss;
  long client_rss;
};

summary summarize(const std::string& name, const std::vector<run>& runs) {
  summary s{name, 0, 0, 0, 0, 0, static_cast<int>(runs.size()), 0, 0};
  std::vector<double> sent, delivered;
  for (const auto& r : runs) {
    sent.push_back(r.sender_rate);
    delivered.push_back(r.delivered_rate);
    s.lost += r.lost;
    s.malformed += r.malformed;
    s.quit_runs += r.quit ? 1 : 0;
    s.server_rss = std::max(s.server_rss, r.server_rss);
    s.client_rss = std::max(s.client_rss, r.client_rss);
  }
  if (runs.empty()) return s;
  s.sender_rate = median(sent);
  s.delivered_rate = median(delivered);
  return s;
}

void print_run(const std::string& name, int i, const run& r) {
  std::printf(
      "  %-28s run %d: sent %9.0f/s  delivered %9.0f/s  lost %6ld"
      "  malformed %ld  quit %s\n",
      name.c_str(), i + 1, r.sender_rate, r.delivered_rate, r.lost, r.malformed,
      r.quit ? "yes" : "NO");
  std::fflush(stdout);
}

template <typename Measure>
summary repeat(const options& o, const std::string& name, Measure measure) {
  std::vector<run> runs;
  const bool wanted = name.find(o.only) != std::string::npos ||
                      name.compare(0, 6, "limit ") == 0;
  for (int i = 0; wanted && i < o.runs; ++i) {
    runs.push_back(measure());
    print_run(name, i, runs.back());
  }
  return summarize(name, runs);
}

void print_table(const std::vector<summary>& rows,
                 const std::map<std::string, const summary*>& limits) {
  std::printf(
      "\n| scenario | sent lines/s | ratio | delivered lines/s | ratio | lost "
      "(all runs) | malformed | Quit seen | max RSS server/client KiB |\n"
      "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const auto& s : rows) {
    if (s.runs == 0) continue;
    const std::string key = s.name.substr(s.name.find(' ') + 1);
    const auto limit = limits.find(key);
    const double sent_ratio =
        limit != limits.end() ? s.sender_rate / limit->second->sender_rate : 0;
    const double delivered_ratio =
        limit != limits.end() ? s.delivered_rate / limit->second->delivered_rate
                              : 0;
    // A program that was not run, or ended before it could be sampled, has
    // no figure.
    const auto kib = [](long value) {
      return value > 0 ? std::to_string(value) : std::string("-");
    };
    std::printf(
        "| %s | %.0f | %.2f | %.0f | %.2f | %ld | %ld | %d/%d | %s/%s |\n",
        s.name.c_str(), s.sender_rate, sent_ratio, s.delivered_rate,
        delivered_ratio, s.lost, s.malformed, s.quit_runs, s.runs,
        kib(s.server_rss).c_str(), kib(s.client_rss).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  std::map<std::string, std::string*> texts = {{"--server", &o.server},
                                               {"--client", &o.client},
                                               {"--work", &o.work},
                                               {"--only", &o.only}};
  std::map<std::string, int*> numbers = {{"--lines", &o.lines},
                                         {"--runs", &o.runs}};
  for (int i = 1; i < argc; i += 2) {
    const std::string flag = argv[i];
    if (i + 1 < argc && texts.count(flag) != 0) {
      *texts[flag] = argv[i + 1];
    } else if (i + 1 < argc && numbers.count(flag) != 0) {
      *numbers[flag] = std::max(1, std::atoi(argv[i + 1]));
    } else {
      std::cerr << "usage: bench [--server PATH] [--client PATH] [--lines N]"
                   " [--runs N] [--work DIR] [--only TEXT]\n";
      return 2;
    }
  }
  char pattern[] = "/bench-XXXXXX";
  std::string dir = o.work + pattern;
  if (mkdtemp(dir.data()) == nullptr) {
    std::perror("bench: cannot make a work folder");
    return 1;
  }
  o.work = dir;
  std::printf("bench: %d lines a run, %d runs, server %s, client %s\n", o.lines,
              o.runs, o.server.c_str(), o.client.c_str());

  std::vector<summary> rows;
  std::map<std::string, const summary*> limits;
  std::vector<summary> limit_rows;
  limit_rows.reserve(4);
  for (const int length : {8, 1000}) {
    const auto all = payloads('A', o.lines, length, true);
    const std::string input = write_client_input(o, 'A', o.lines, length, true);
    for (const bool pinned : {true, false}) {
      const std::string key =
          std::to_string(length) + "B " + (pinned ? "pinned" : "unpinned");
      const int sender = pinned ? sender_cpu : -1;
      const sender_start minimal = [&](std::uint16_t port) {
        return start_function(sender,
                              [&] { return send_one_by_one(port, all); });
      };
      const sender_start client = [&](std::uint16_t port) {
        return start_client(o, sender, input, port);
      };
      const sender_start blaster = [&](std::uint16_t port) {
        return start_function(sender, [&] { return send_batched(port, all); });
      };
      const std::string client_name = base_name(o.client);
      limit_rows.push_back(repeat(o, "limit " + key, [&] {
        return measure_into_counter(o, pinned, minimal, "");
      }));
      limits[key] = &limit_rows.back();
      rows.push_back(limit_rows.back());
      rows.push_back(repeat(o, "pair " + key, [&] {
        return measure_into_server(o, length, pinned, client, client_name);
      }));
      rows.push_back(repeat(o, "client-alone " + key, [&] {
        return measure_into_counter(o, pinned, client, client_name);
      }));
      rows.push_back(repeat(o, "server-blast " + key, [&] {
        return measure_into_server(o, length, pinned, blaster, "");
      }));
    }
    std::remove(input.c_str());
  }
  for (const int length : {8, 1000}) {
    std::vector<std::string> inputs;
    inputs.reserve(o.clients);
    for (int k = 0; k < o.clients; ++k) {
      inputs.push_back(write_client_input(o, static_cast<char>('A' + k),
                                          o.lines / o.clients, length, false));
    }
    rows.push_back(repeat(o,
                          std::to_string(o.clients) + "-clients " +
                              std::to_string(length) + "B unpinned",
                          [&] { return measure_clients(o, inputs, length); }));
    for (const auto& input : inputs) std::remove(input.c_str());
  }
  print_table(rows, limits);
  std::remove((o.work + "/server-output.txt").c_str());
  rmdir(o.work.c_str());
  return 0;
}
