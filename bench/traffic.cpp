#include "bench/traffic.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "common/sentence.h"
#include "common/sizes.h"
#include "server/receiving.h"
#include "support/udp.h"

std::string line_text(char tag, int index, int length) {
  static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz";
  constexpr int letter_count = sizeof letters - 1;
  char head[16];
  std::snprintf(head, sizeof head, "%c%07d", tag, index);
  std::string text(head);
  text.resize(std::min<std::size_t>(text.size(), length));
  // The filler runs through the alphabet, a stretch at a time.
  for (int at = static_cast<int>(text.size()); at < length;) {
    const int letter = (index + at) % letter_count;
    const int stretch = std::min(letter_count - letter, length - at);
    text.append(letters + letter, stretch);
    at += stretch;
  }
  return text;
}

std::string write_client_input(const std::string& dir, int lines, int length,
                               char tag, bool stop_word) {
  std::string path = dir + "/input-" + tag + "-" + std::to_string(lines) + "-" +
                     std::to_string(length) + ".txt";
  std::ofstream out(path, std::ios::binary);
  out << "00000\n127.0.0.1\n";
  for (int i = 0; i < lines; ++i) out << line_text(tag, i, length) << '\n';
  if (stop_word) out << "Quit\n";
  return path;
}

int send_blast(std::uint16_t port, int lines, int length) {
  constexpr int send_batch = 64;
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to = loopback_address(port);
  std::string payloads[send_batch];
  iovec parts[send_batch];
  mmsghdr messages[send_batch] = {};
  for (int first = 0; first <= lines; first += send_batch) {
    const int count = std::min(send_batch, lines + 1 - first);
    for (int i = 0; i < count; ++i) {
      // The line after the last is the stop sentence.
      payloads[i] = first + i < lines ? line_text('A', first + i, length)
                                      : std::string("Quit");
      parts[i] = {&payloads[i][0], payloads[i].size() + 1};
      messages[i].msg_hdr.msg_name = &to;
      messages[i].msg_hdr.msg_namelen = sizeof to;
      messages[i].msg_hdr.msg_iov = &parts[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    for (int sent = 0; sent < count;) {
      const int n = sendmmsg(fd, messages + sent, count - sent, 0);
      if (n <= 0) return 1;
      sent += n;
    }
  }
  return 0;
}

int print_datagrams(int fd, int out) {
  // The prompt, its line ended as the server ends it once its port is read.
  if (write(out, server_prompt, sizeof server_prompt - 1) < 0 ||
      write(out, "\n", 1) < 0) {
    return 1;
  }
  char buffers[receive_batch][message_buffer_size];
  sockaddr_in senders[receive_batch];
  iovec parts[receive_batch];
  mmsghdr messages[receive_batch] = {};
  for (std::size_t i = 0; i < receive_batch; ++i) {
    parts[i].iov_base = buffers[i];
    parts[i].iov_len = sizeof buffers[i];
    messages[i].msg_hdr.msg_name = &senders[i];
    messages[i].msg_hdr.msg_namelen = sizeof senders[i];
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  // A line is three pieces: "<address> says: ", the payload and the line
  // end. The first piece is made only when the sender changes, in the slot of
  // the datagram that changed it; the last one of a batch moves to the spare
  // slot, so the next batch cannot write over it while lines use it.
  char heads[receive_batch + 1][INET_ADDRSTRLEN + sizeof " says: "];
  char* const carried = heads[receive_batch];
  iovec lines[receive_batch * 3];
  iovec head = {nullptr, 0};
  in_addr shown_sender{};
  for (;;) {
    const int count =
        recvmmsg(fd, messages, receive_batch, MSG_WAITFORONE, nullptr);
    if (count < 0) return 1;
    if (head.iov_base != nullptr && head.iov_base != carried) {
      std::memcpy(carried, head.iov_base, sizeof heads[0]);
      head.iov_base = carried;
    }
    std::size_t pieces = 0;
    bool quit = false;
    for (int i = 0; i < count && !quit; ++i) {
      if (head.iov_base == nullptr ||
          senders[i].sin_addr.s_addr != shown_sender.s_addr) {
        shown_sender = senders[i].sin_addr;
        inet_ntop(AF_INET, &shown_sender, heads[i], sizeof heads[i]);
        head = {heads[i], std::strlen(std::strcat(heads[i], " says: "))};
      }
      lines[pieces++] = head;
      lines[pieces++] = {buffers[i], strnlen(buffers[i], messages[i].msg_len)};
      lines[pieces++] = {const_cast<char*>("\n"), 1};
      quit = messages[i].msg_len > 0 && is_stop_sentence(buffers[i]);
    }
    if (writev(out, lines, static_cast<int>(pieces)) < 0) return 1;
    if (quit) return 0;
  }
}

int read_slowly(int in, int out, long rate) {
  // A chunk at a time, each once the rate allows it.
  constexpr std::size_t chunk = 4096;
  char buffer[chunk];
  const auto start = std::chrono::steady_clock::now();
  long total = 0;
  ssize_t n;
  while ((n = read(in, buffer, sizeof buffer)) > 0) {
    if (write(out, buffer, static_cast<std::size_t>(n)) != n) return 1;
    total += n;
    std::this_thread::sleep_until(
        start + std::chrono::microseconds(total * 1000000 / rate));
  }
  return n < 0 ? 1 : 0;
}

shown check_output(std::istream& text, int senders, int length) {
  const std::string sender_prefix = "127.0.0.1 says: ";
  shown result;
  std::string line;
  if (!std::getline(text, line) || line != server_prompt) {
    result.malformed = 1;
    return result;
  }
  std::vector<int> next(senders, 0);
  const std::size_t at = sender_prefix.size();
  while (std::getline(text, line)) {
    const bool whole = !text.eof();
    if (whole && line == sender_prefix + "Quit") {
      result.quit = true;
      continue;
    }
    const int sender = line.size() > at ? line[at] - 'A' : -1;
    const int index = sender >= 0 ? std::atoi(line.c_str() + at + 1) : -1;
    if (!whole || sender < 0 || sender >= senders || index < next[sender] ||
        line != sender_prefix + line_text(line[at], index, length)) {
      ++result.malformed;
      continue;
    }
    next[sender] = index + 1;
    ++result.lines;
  }
  return result;
}
