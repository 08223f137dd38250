#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/harness.h"

namespace {

const char* const pages[] = {"server.1", "client.1"};

struct command_result {
  int status;
  std::string output;  // standard output and standard error together
};

command_result run_command(const std::string& command) {
  command_result result{-1, ""};
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
    result.output.append(chunk, n);
  }
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every message each program can print, as its page names it after the
// program's name: a word in capitals stands for what varies.
const std::vector<std::string> server_messages = {
    "listening on port N",
    "port WORD is out of range: listening on port N",
    "no listening port given",
    "cannot read input: REASON",
    "cannot write prompt: REASON",
    "cannot listen on port N: REASON",
    "N datagrams dropped: receive queue full",
    "N datagrams dropped: output queue full",
    "N datagrams cut to their first 1023 bytes",
    "N datagrams not shown: the server stopped first",
    "cannot watch signals: REASON",
    "cannot make room for its queue: REASON",
    "receive failed: REASON",
    "cannot write output: REASON",
    "unexpected argument 'ARGUMENT'",
    "cannot write help: REASON",
    "cannot write the version: REASON",
    "cannot confine itself, going on: REASON",
};
const std::vector<std::string> client_messages = {
    "no server port given",
    "server port too long",
    "invalid server port: TEXT (give a number from 1 to 65535)",
    "port TEXT is out of range: sending to port N",
    "no server IP given",
    "server IP too long",
    "invalid server IP: TEXT (give a numeric IPv4 address, such as 127.0.0.1)",
    "cannot create socket: REASON",
    "cannot send to ADDRESS port PORT: REASON",
    "cannot read input: REASON",
    "cannot write prompt: REASON",
    "N sentences refused by ADDRESS port PORT: Connection refused",
    "N sentences undeliverable to ADDRESS port PORT: REASON",
    "send failed: REASON",
    "unexpected argument 'ARGUMENT'",
    "cannot write help: REASON",
    "cannot write the version: REASON",
    "cannot confine itself, going on: REASON",
};

// A page's text with its markup taken out, and what varies in capitals.
std::string plain(std::string text) {
  text = std::regex_replace(text, std::regex(R"(\\fI([a-z]+)\\fP)"), "\x01$1");
  std::string upper;
  bool capitals = false;
  for (const char c : text) {
    if (c == '\x01') {
      capitals = true;
    } else {
      upper += capitals ? static_cast<char>(std::toupper(c)) : c;
      capitals = capitals && std::isalpha(static_cast<unsigned char>(c));
    }
  }
  upper = std::regex_replace(upper, std::regex(R"(\\f[BIRP])"), "");
  upper = std::regex_replace(upper, std::regex(R"(\\\(aq)"), "'");
  upper = std::regex_replace(upper, std::regex(R"(\\-)"), "-");
  if (upper.size() >= 2 && upper.front() == '"' && upper.back() == '"') {
    upper = upper.substr(1, upper.size() - 2);
  }
  return upper;
}

// The page's sections, in order, and the tags of the entries of `section`.
struct page_outline {
  std::vector<std::string> sections;
  std::vector<std::string> tags;
};

page_outline outline(const std::string& page, const std::string& section) {
  page_outline o;
  std::istringstream lines(page);
  std::string current;
  bool tag_next = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, 4, ".SH ") == 0) {
      current = line.substr(4);
      current.erase(std::remove(current.begin(), current.end(), '"'),
                    current.end());
      o.sections.push_back(current);
    } else if (line == ".TP" || line == ".TQ") {
      tag_next = true;
    } else if (tag_next) {
      tag_next = false;
      if (current == section && line.compare(0, 3, ".B ") == 0) {
        o.tags.push_back(plain(line.substr(3)));
      }
    }
  }
  return o;
}

// Each page renders without a warning, has the usual sections in the usual
// order, quotes the dialogue, lists every exit status, and lists in its
// DIAGNOSTICS exactly the messages its program prints, whose words the
// program's code holds.
TEST(ManualPages, MatchTheirPrograms) {
  const std::string man = std::string(SOURCE_DIR) + "/man/";
  const std::vector<std::string> usual_order = {
      "NAME",        "SYNOPSIS",    "DESCRIPTION", "OPTIONS",
      "EXIT STATUS", "DIAGNOSTICS", "SIGNALS",     "SECURITY",
      "CAVEATS",     "EXAMPLES",    "SEE ALSO"};
  const struct {
    const char* name;
    std::vector<std::string> prompts;
    const std::vector<std::string>& messages;
  } cases[] = {
      {"server", {"Please enter your listening port: "}, server_messages},
      {"client",
       {"Please enter the server port: ", "Please enter the server IP: ",
        "Type a sentence to send to the server: "},
       client_messages},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string page = read_file(man + c.name + ".1");
    const command_result lint =
        run_command("groff -man -ww -z " + man + c.name + ".1");
    EXPECT_EQ(lint.status, 0);
    EXPECT_EQ(lint.output, "");
    for (const std::string& prompt : c.prompts) {
      EXPECT_NE(page.find(prompt), std::string::npos) << prompt;
    }
    const page_outline sections = outline(page, "EXIT STATUS");
    std::vector<std::string> ordered = sections.sections;
    std::sort(ordered.begin(), ordered.end(),
              [&](const std::string& a, const std::string& b) {
                return std::find(usual_order.begin(), usual_order.end(), a) <
                       std::find(usual_order.begin(), usual_order.end(), b);
              });
    EXPECT_EQ(sections.sections, ordered);
    EXPECT_EQ(sections.sections.front(), "NAME");
    EXPECT_EQ(sections.sections.back(), "SEE ALSO");
    EXPECT_EQ(sections.tags,
              (std::vector<std::string>{"0", "1", "2", "128 + SIGNAL"}));
    std::set<std::string> listed;
    for (const std::string& message : c.messages) {
      listed.insert(std::string(c.name) + ": " + message);
    }
    const std::vector<std::string> told = outline(page, "DIAGNOSTICS").tags;
    EXPECT_EQ(std::set<std::string>(told.begin(), told.end()), listed);
  }
}

// Every message the code can print is in its program's list, and every
// list entry's words stand in the code: the format of each call that tells
// a message, and of each loss a count is told for.
TEST(ManualPages, ListEveryMessageTheCodePrints) {
  std::string code;
  for (const char* folder : {"common", "server", "client"}) {
    for (const auto& entry : std::filesystem::directory_iterator(
             std::string(SOURCE_DIR) + "/" + folder)) {
      if (entry.path().extension() == ".cpp") code += read_file(entry.path());
    }
  }
  // The formats passed to the calls that tell, with what they may stand for.
  const std::regex call(
      R"re((?:tell|report_failure|append_count)\([^;"{]*?"((?:[^"\\]|\\.)*)")re");
  const std::regex failure(R"re("(receive failed|cannot write output)")re");
  std::vector<std::string> formats;
  for (const std::regex* pattern : {&call, &failure}) {
    for (auto m = std::sregex_iterator(code.begin(), code.end(), *pattern);
         m != std::sregex_iterator(); ++m) {
      formats.push_back((*m)[1]);
    }
  }
  EXPECT_GT(formats.size(), 25U);
  std::vector<std::string> all = server_messages;
  all.insert(all.end(), client_messages.begin(), client_messages.end());
  for (const std::string& format : formats) {
    // A format's fixed words, between what it fills in.
    std::vector<std::string> words;
    std::string piece;
    for (std::size_t i = 0; i < format.size(); ++i) {
      if (format[i] == '%') {
        words.push_back(piece);
        piece.clear();
        while (i + 1 < format.size() && std::isalpha(format[i + 1]) == 0) ++i;
        while (i + 1 < format.size() &&
               (format[i + 1] == 'l' || format[i + 1] == 'z')) {
          ++i;
        }
        ++i;
      } else {
        piece += format[i];
      }
    }
    words.push_back(piece);
    const bool listed =
        std::any_of(all.begin(), all.end(), [&](const std::string& message) {
          return std::all_of(words.begin(), words.end(),
                             [&](const std::string& w) {
                               return message.find(w) != std::string::npos;
                             });
        });
    EXPECT_TRUE(listed) << "not in a page's list: \"" << format << '"';
  }
}

TEST(Install, InstalledProgramsExchangeASentence) {
  char prefix[] = "/tmp/install-test-XXXXXX";
  ASSERT_NE(mkdtemp(prefix), nullptr);
  const command_result installed =
      run_command(std::string(CMAKE_COMMAND) +
                  " --install " BUILD_DIR " --prefix " + prefix);
  ASSERT_EQ(installed.status, 0) << installed.output;
  const std::string root = prefix;
  for (const char* page : pages) {
    EXPECT_TRUE(std::filesystem::exists(root + "/share/man/man1/" + page))
        << page;
  }
  {
    program server((root + "/bin/server").c_str());
    const std::uint16_t port = start_server(server);
    program client((root + "/bin/client").c_str());
    const outcome sent =
        client.finish(std::to_string(port) + "\n127.0.0.1\nhello\nQuit\n");
    EXPECT_EQ(sent.status, 0);
    const outcome shown = server.finish();
    EXPECT_EQ(shown.out,
              "Please enter your listening port: 127.0.0.1 says: hello\n"
              "127.0.0.1 says: Quit\n");
    EXPECT_EQ(shown.status, 0);
  }
  std::filesystem::remove_all(root);
}

// The two programs need nothing but a compiler, CMake and make: a tree
// configured without GoogleTest builds them.
TEST(Build, MakesTheProgramsWithoutGoogleTest) {
  char tree[] = "/tmp/build-test-XXXXXX";
  ASSERT_NE(mkdtemp(tree), nullptr);
  const std::string cmake = CMAKE_COMMAND;
  const command_result built = run_command(
      cmake + " -S " SOURCE_DIR " -B " + tree +
      " -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON && " +
      cmake + " --build " + tree + " -j 2 --target server client");
  EXPECT_EQ(built.status, 0) << built.output;
  EXPECT_NE(built.output.find("GoogleTest not found"), std::string::npos);
  for (const char* name : {"server", "client"}) {
    EXPECT_TRUE(std::filesystem::exists(std::string(tree) + "/bin/" + name))
        << name;
  }
  std::filesystem::remove_all(tree);
}

}  // namespace
