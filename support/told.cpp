#include "support/told.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

long told_count(const std::string& line, const std::string& program,
                const std::string& noun, const std::string& what) {
  const std::string start = program + ": ";
  if (line.compare(0, start.size(), start) != 0) return -1;
  std::size_t at = start.size();
  if (at >= line.size() ||
      std::isdigit(static_cast<unsigned char>(line[at])) == 0) {
    return -1;
  }
  const long count = std::strtol(line.c_str() + at, nullptr, 10);
  at = line.find(' ', at);
  const std::string rest = (count == 1 ? noun : noun + "s") + " " + what;
  if (at == std::string::npos ||
      line.compare(at + 1, std::string::npos, rest) != 0) {
    return -1;
  }
  return count;
}

long told_sum(const std::string& text, const std::string& program,
              const std::string& noun, const std::string& what) {
  std::istringstream lines(text);
  long sum = 0;
  for (std::string line; std::getline(lines, line);) {
    const long count = told_count(line, program, noun, what);
    if (count > 0) sum += count;
  }
  return sum;
}
