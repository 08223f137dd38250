#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

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

TEST(ManualPages, RenderWithoutWarningsAndQuoteTheDialogue) {
  const std::string man = std::string(SOURCE_DIR) + "/man/";
  for (const char* page : pages) {
    SCOPED_TRACE(page);
    const command_result lint = run_command("groff -man -ww -z " + man + page);
    EXPECT_EQ(lint.status, 0);
    EXPECT_EQ(lint.output, "");
  }
  const std::string server = read_file(man + "server.1");
  const std::string client = read_file(man + "client.1");
  EXPECT_NE(server.find("Please enter your listening port: "),
            std::string::npos);
  for (const char* prompt :
       {"Please enter the server port: ", "Please enter the server IP: ",
        "Type a sentence to send to the server: "}) {
    EXPECT_NE(client.find(prompt), std::string::npos) << prompt;
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
