#include "support/durations.h"

#include <cstdio>

std::string in_ms(std::chrono::nanoseconds duration) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms",
                std::chrono::duration<double, std::milli>(duration).count());
  return text;
}
