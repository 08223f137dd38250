// Reads the lines in which the programs tell a count on standard error:
// "<program>: <count> <noun>(s) <what>", as the server tells its losses and
// the client the errors that came back.
#ifndef SUPPORT_TOLD_H_
#define SUPPORT_TOLD_H_

#include <string>

// The count in `line` if it reads "<program>: <count> <noun> <what>", the
// noun in the singular for 1 and with an s for any other count; else -1.
long told_count(const std::string& line, const std::string& program,
                const std::string& noun, const std::string& what);

// The counts of every line of `text` that tells `what`, summed.
long told_sum(const std::string& text, const std::string& program,
              const std::string& noun, const std::string& what);

#endif  // SUPPORT_TOLD_H_
