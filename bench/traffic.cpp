#include "bench/traffic.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

const std::string sender_prefix = "127.0.0.1 says: ";

}  // namespace

std::string line_text(char tag, int index, int length) {
  char head[16];
  std::snprintf(head, sizeof head, "%c%07d", tag, index);
  std::string text(head);
  for (int i = static_cast<int>(text.size()); i < length; ++i) {
    text += static_cast<char>('a' + (index + i) % 26);
  }
  return text.substr(0, length);
}

std::vector<std::string> payloads(char tag, int lines, int length, bool quit) {
  std::vector<std::string> all;
  all.reserve(lines + 1);
  for (int i = 0; i < lines; ++i) {
    all.push_back(line_text(tag, i, length) + '\0');
  }
  if (quit) all.emplace_back("Quit\0", 5);
  return all;
}

std::string write_client_input(const std::string& dir, char tag, int lines,
                               int length, bool quit) {
  std::string path = dir + "/input-" + tag + "-" + std::to_string(length) +
                     (quit ? "q" : "") + ".txt";
  std::ofstream out(path, std::ios::binary);
  out << "00000\n127.0.0.1\n";
  for (int i = 0; i < lines; ++i) out << line_text(tag, i, length) << '\n';
  if (quit) out << "Quit\n";
  return path;
}

int open_client_input(const std::string& path, std::uint16_t port) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  char digits[8];
  std::snprintf(digits, sizeof digits, "%05u", port);
  if (fd >= 0 && pwrite(fd, digits, 5, 0) != 5) {
    close(fd);
    return -1;
  }
  return fd;
}

shown check_output(const std::string& text, int senders, int length) {
  shown result;
  const std::string prompt = server_prompt;
  if (text.compare(0, prompt.size(), prompt) != 0) {
    result.malformed = 1;
    return result;
  }
  std::vector<int> next(senders, 0);
  std::size_t at = prompt.size();
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    const bool whole = end != std::string::npos;
    if (!whole) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (whole && line == sender_prefix + "Quit") {
      result.quit = true;
      continue;
    }
    const bool prefixed =
        whole && line.size() == sender_prefix.size() + length &&
        line.compare(0, sender_prefix.size(), sender_prefix) == 0;
    const int sender = prefixed ? line[sender_prefix.size()] - 'A' : -1;
    const int index =
        prefixed ? std::atoi(line.c_str() + sender_prefix.size() + 1) : -1;
    if (sender < 0 || sender >= senders || index < next[sender] ||
        line.compare(
            sender_prefix.size(), std::string::npos,
            line_text(static_cast<char>('A' + sender), index, length)) != 0) {
      ++result.malformed;
      continue;
    }
    next[sender] = index + 1;
    ++result.lines;
  }
  return result;
}

long told_drops(const std::string& errors) {
  std::istringstream lines(errors);
  long told = 0;
  for (std::string line; std::getline(lines, line);) {
    long count = 0;
    char rest[64] = {};
    if (std::sscanf(line.c_str(), "server: %ld %*s dropped: %63[^\n]", &count,
                    rest) == 2 &&
        std::string(rest) == "receive queue full") {
      told += count;
    }
  }
  return told;
}
