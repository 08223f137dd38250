#include "common/console.h"

#include <cerrno>
#include <cstring>
#include <iostream>

line_status read_line(std::istream& in, char* text, std::size_t size) {
  in.getline(text, static_cast<std::streamsize>(size));
  if (!in.fail()) return line_status::whole;
  // getline fails at end of input only when it took nothing; otherwise it
  // failed because the line did not fit, and the rest waits for the next read.
  if (in.eof() || in.bad()) return line_status::none;
  in.clear();
  return line_status::too_long;
}

bool ask_line(const char* prompt, char* text, std::size_t size,
              const char* missing, const char* too_long) {
  std::cout << prompt;
  const line_status status = read_line(std::cin, text, size);
  if (status == line_status::whole) return true;
  std::cerr << (status == line_status::none ? missing : too_long) << '\n';
  return false;
}

int report_failure(const char* program, const char* what) {
  const char* reason = std::strerror(errno);
  std::cerr << program << ": " << what << ": " << reason << '\n';
  return 1;
}
