// Durations of the tests' and the benchmark's clock as a reader wants them
// in a message: in milliseconds.
#ifndef SUPPORT_DURATIONS_H_
#define SUPPORT_DURATIONS_H_

#include <chrono>
#include <string>

// "128.8 ms": `duration` in milliseconds, to a tenth.
std::string in_ms(std::chrono::nanoseconds duration);

#endif  // SUPPORT_DURATIONS_H_
