#include "common/console.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/escape.h"
#include "common/sizes.h"

void open_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    // open gives the lowest free descriptor, which is this one.
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
  }
}

namespace {

// Formats a diagnostic line whole and writes it with one call.
bool write_message(const char* program, const char* format, va_list arguments) {
  char line[message_line_size];
  const int prefix = std::snprintf(line, sizeof line, "%s: ", program);
  if (prefix < 0) return false;
  std::size_t length = static_cast<std::size_t>(prefix);
  if (length < sizeof line) {
    // The callers start `arguments`, which the analyser does not follow.
    const int text = std::vsnprintf(  // NOLINT(clang-analyzer-valist.*)
        line + length, sizeof line - length, format, arguments);
    if (text < 0) return false;
    length += static_cast<std::size_t>(text);
  }
  // A line too long for the buffer keeps its start, and still ends.
  length = std::min(length, sizeof line - 1);
  line[length++] = '\n';
  return write(STDERR_FILENO, line, length) == static_cast<ssize_t>(length);
}

}  // namespace

bool tell(const char* program, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const bool told = write_message(program, format, arguments);
  va_end(arguments);
  return told;
}

int report_failure(const char* program, const char* what) {
  const int error = errno;
  tell(program, "%s: %s", what, std::strerror(error));
  return 1;
}

namespace {

// Writes the `count` texts of `texts` to standard output, whole; false, with
// errno, if it cannot take them (a full device, say).
bool write_texts(const char* const* texts, int count) {
  constexpr int most_texts = 4;
  iovec parts[most_texts];
  for (int i = 0; i < count && i < most_texts; ++i) {
    parts[i] = {const_cast<char*>(texts[i]), std::strlen(texts[i])};
  }
  iovec* next = parts;
  int left = std::min(count, most_texts);
  while (left > 0) {
    ssize_t n = writev(STDOUT_FILENO, next, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    // Skips what went out, the last part taken perhaps in part.
    for (; left > 0 && static_cast<std::size_t>(n) >= next->iov_len; --left) {
      n -= static_cast<ssize_t>(next->iov_len);
      ++next;
    }
    if (left > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + n;
      next->iov_len -= static_cast<std::size_t>(n);
    }
  }
  return true;
}

}  // namespace

int answer_arguments(int argc, char** argv, const char* program,
                     const char* usage, const char* about) {
  if (argc <= 1) return -1;
  const char* argument = argv[1];
  if (argc == 2 && std::strcmp(argument, "--help") == 0) {
    const char* const help[] = {usage, "\n", about};
    return write_texts(help, 3) ? 0
                                : report_failure(program, "cannot write help");
  }
  if (argc == 2 && std::strcmp(argument, "--version") == 0) {
    const char* const version[] = {program, " ", SENTENCES_VERSION, "\n"};
    return write_texts(version, 4)
               ? 0
               : report_failure(program, "cannot write the version");
  }
  const bool option = std::strcmp(argument, "--help") == 0 ||
                      std::strcmp(argument, "--version") == 0;
  const char* unexpected = option ? argv[2] : argument;
  char shown[message_line_size];
  tell(program, "unexpected argument '%s'",
       shown_text(unexpected, std::strlen(unexpected), shown, sizeof shown));
  std::fprintf(stderr, "%s\n", usage);
  return 2;
}
