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

int report_failure(const char* program, const char* what) {
  const char* reason = std::strerror(errno);
  std::cerr << program << ": " << what << ": " << reason << '\n';
  return 1;
}
