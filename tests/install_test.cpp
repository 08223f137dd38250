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

#include "common/sandbox.h"
#include "tests/harness.h"

namespace {

const char* const programs[] = {"server", "client"};

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

// A folder of its own under /tmp, removed when this goes away.
struct scratch_folder {
  std::string path;
  explicit scratch_folder(const char* name) {
    std::string pattern = std::string("/tmp/") + name + "-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~scratch_folder() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  scratch_folder(const scratch_folder&) = delete;
  scratch_folder& operator=(const scratch_folder&) = delete;
};

// The files under `root`, from it.
std::set<std::string> files_under(const std::string& root) {
  std::set<std::string> files;
  std::error_code ignored;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(root, ignored)) {
    if (!entry.is_directory()) {
      files.insert(std::filesystem::relative(entry.path(), root).string());
    }
  }
  return files;
}

// The server and the client in `folder` show a sentence from one to the
// other, and end at the stop word.
void exchange_a_sentence(const std::string& folder) {
  program server((folder + "server").c_str());
  const std::uint16_t port = start_server(server);
  program client((folder + "client").c_str());
  const outcome sent =
      client.finish(std::to_string(port) + "\n127.0.0.1\nhello\nQuit\n");
  EXPECT_EQ(sent.status, 0);
  const outcome shown = server.finish();
  EXPECT_EQ(shown.out,
            "Please enter your listening port: \n127.0.0.1 says: hello\n"
            "127.0.0.1 says: Quit\n");
  EXPECT_EQ(shown.status, 0);
}

// Every message each program can print, as its page names it after the
// program's name: a word in capitals stands for what varies.
const std::vector<std::string> server_messages = {
    "listening on port N",
    "port WORD is out of range: listening on port N",
    "port WORD is not a number: listening on port N",
    "no listening port given",
    "cannot read input: REASON",
    "cannot write prompt: REASON",
    "cannot listen on port N: REASON",
    "N datagrams dropped: receive queue full",
    "N datagrams dropped: output queue full",
    "N datagrams cut to their first 1023 bytes",
    "N datagrams not shown: the server stopped first",
    "N datagrams not shown: refused by standard output",
    // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one message
    "STREAM cannot be written without waiting (REASON): each write waits a "
    "millisecond at most",
    "cannot time the writes of its output: REASON",
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

// The lower-case words in bold (".B word", ".BR word ,", ".RB ( word ,") of
// `section` of `page`.
std::set<std::string> bold_words(const std::string& page,
                                 const std::string& section) {
  std::set<std::string> words;
  std::istringstream lines(page);
  bool inside = false;
  const std::regex bold(R"(^\.(B|BR|RB) (\( )?([a-z_0-9]+)\b)");
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, 4, ".SH ") == 0) inside = line == ".SH " + section;
    std::smatch word;
    if (inside && std::regex_search(line, word, bold)) words.insert(word[3]);
  }
  return words;
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
    // SECURITY names, in bold, exactly the calls the filter lets through.
    std::set<std::string> allowed;
    const auto note = [&](const auto& groups) {
      for (const call_group& group : groups) {
        for (const char* call : group.calls) {
          if (call != nullptr) allowed.insert(call);
        }
      }
    };
    note(both_calls);
    if (std::string(c.name) == "server") {
      note(server_calls);
    } else {
      note(client_calls);
    }
    EXPECT_EQ(bold_words(page, "SECURITY"), allowed);
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

// Installs into and uninstalls from `prefix` as make install and make
// uninstall do; `force` replaces what another program put there.
command_result install_into(const std::string& prefix, bool force = false) {
  return run_command("DESTDIR= " SOURCE_DIR
                     "/packaging/install-files " BUILD_DIR " " +
                     prefix + (force ? " 1" : ""));
}
command_result uninstall_from(const std::string& prefix) {
  return run_command("DESTDIR= " SOURCE_DIR "/packaging/uninstall-files " +
                     prefix);
}

// What make install puts under a prefix, and the record of it.
const std::set<std::string> installed_files = {
    "bin/client",
    "bin/server",
    "lib/systemd/system/sentences-server@.service",
    "share/doc/sentences/changelog.gz",
    "share/doc/sentences/copyright",
    "share/man/man1/client.1.gz",
    "share/man/man1/server.1.gz",
    "share/sentences/installed"};

// Install and uninstall touch only what is this project's: another
// program's file is neither replaced (but when asked) nor removed, and each
// says what it did, or why it did nothing.
TEST(Install, TouchesOnlyWhatIsItsOwn) {
  enum class before { nothing, foreign_server };
  enum class step { install, install_forced, change_client, uninstall };
  // NOLINTNEXTLINE(clang-analyzer-optin.performance.Padding): a table
  const struct {
    const char* name;
    before there;
    std::vector<step> steps;
    int status;                  // of the last step
    std::string says;            // what the last step's output holds
    std::set<std::string> left;  // under the prefix at the end
  } cases[] = {
      {"installed, used, removed",
       before::nothing,
       {step::install, step::uninstall},
       0,
       "uninstall: removed",
       {}},
      {"another program's server there: refused, and left as it was",
       before::foreign_server,
       {step::install},
       1,
       "install: not replaced, as sentences did not install it: ",
       {"bin/server"}},
      {"another program's server there, replaced when asked",
       before::foreign_server,
       {step::install_forced},
       0,
       "install: each file installed is recorded in ",
       installed_files},
      {"a file changed since it was installed: left, and named",
       before::nothing,
       {step::install, step::change_client, step::uninstall},
       0,
       "uninstall: left, as it changed since it was installed: ",
       {"bin/client"}},
      {"nothing installed: uninstall says so",
       before::nothing,
       {step::uninstall},
       1,
       "uninstall: nothing of sentences is installed under ",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const scratch_folder root("install-test");
    ASSERT_FALSE(root.path.empty());
    const std::string prefix = root.path + "/usr";
    const std::string foreign = "#!/bin/sh\necho another program\n";
    if (c.there == before::foreign_server) {
      std::filesystem::create_directories(prefix + "/bin");
      std::ofstream(prefix + "/bin/server") << foreign;
    }
    command_result last{-1, ""};
    for (const step s : c.steps) {
      if (s == step::install || s == step::install_forced) {
        last = install_into(prefix, s == step::install_forced);
        if (last.status == 0) exchange_a_sentence(prefix + "/bin/");
      } else if (s == step::change_client) {
        std::ofstream(prefix + "/bin/client") << "changed\n";
      } else {
        last = uninstall_from(prefix);
      }
    }
    EXPECT_EQ(last.status, c.status) << last.output;
    EXPECT_NE(last.output.find(c.says), std::string::npos) << last.output;
    EXPECT_EQ(files_under(prefix), c.left);
    if (c.there == before::foreign_server && c.status != 0) {
      EXPECT_EQ(read_file(prefix + "/bin/server"), foreign);
    }
  }
}

// The service unit verifies, with its ExecStart at the installed program,
// and systemd rates it "OK" or better; the instance is the port.
TEST(Service, UnitVerifiesAndIsConfined) {
  if (run_command("command -v systemd-analyze").status != 0) {
    GTEST_SKIP() << "systemd-analyze is not installed (package systemd)";
  }
  const scratch_folder root("service-test");
  ASSERT_FALSE(root.path.empty());
  const command_result installed = install_into(root.path);
  ASSERT_EQ(installed.status, 0) << installed.output;
  const std::string unit = root.path + "/sentences-server@5140.service";
  std::filesystem::copy_file(
      root.path + "/lib/systemd/system/sentences-server@.service", unit);
  EXPECT_NE(read_file(unit).find("ExecStart=" + root.path + "/bin/server\n"),
            std::string::npos);
  const command_result verified =
      run_command("cd " + root.path +
                  " && systemd-analyze verify --man=no ./sentences-server@5140."
                  "service");
  EXPECT_EQ(verified.status, 0) << verified.output;
  EXPECT_EQ(verified.output, "");
  const command_result rated =
      run_command("cd " + root.path +
                  " && systemd-analyze security --offline=true "
                  "./sentences-server@5140.service");
  const std::size_t at = rated.output.find("Overall exposure level");
  ASSERT_NE(at, std::string::npos) << rated.output;
  const double exposure =
      std::atof(rated.output.c_str() + rated.output.find(": ", at) + 2);
  EXPECT_LT(exposure, 5.0) << rated.output.substr(at);
}

// The package holds the programs, their pages and documents, depends on
// what the programs link with, installs into a root of its own, works there
// and goes again leaving nothing.
TEST(Package, InstallsWorksAndGoesLeavingNothing) {
  if (run_command("command -v dpkg-shlibdeps dpkg-deb dpkg").status != 0) {
    GTEST_SKIP() << "making and installing a package needs dpkg-dev";
  }
  if (geteuid() != 0) GTEST_SKIP() << "dpkg installs into a root as root";
  const scratch_folder made("package-test");
  ASSERT_FALSE(made.path.empty());
  const command_result packed = run_command(
      "cd " BUILD_DIR " && " CPACK_COMMAND " -G DEB -B " + made.path);
  ASSERT_EQ(packed.status, 0) << packed.output;
  const std::string deb =
      made.path + "/sentences_" SENTENCES_VERSION "_" +
      run_command("dpkg --print-architecture | tr -d '\\n'").output + ".deb";
  const command_result contents = run_command("dpkg-deb -c " + deb);
  ASSERT_EQ(contents.status, 0) << contents.output;
  for (const char* file :
       {"./usr/bin/server", "./usr/bin/client",
        "./usr/share/man/man1/server.1.gz", "./usr/share/man/man1/client.1.gz",
        "./usr/share/doc/sentences/copyright",
        "./usr/lib/systemd/system/sentences-server@.service"}) {
    EXPECT_NE(contents.output.find(file), std::string::npos) << file;
  }
  const std::string depends =
      run_command("dpkg-deb -f " + deb + " Depends").output;
  for (const char* library : {"libc6", "libstdc++6"}) {
    EXPECT_NE(depends.find(library), std::string::npos) << depends;
  }
  EXPECT_EQ(depends.find("libseccomp2") != std::string::npos, SANDBOX_BUILT)
      << depends;
  // An empty root of its own: dpkg's database and nothing else.
  const scratch_folder root("package-root");
  ASSERT_FALSE(root.path.empty());
  std::filesystem::create_directories(root.path + "/var/lib/dpkg/info");
  std::filesystem::create_directories(root.path + "/var/lib/dpkg/updates");
  std::ofstream(root.path + "/var/lib/dpkg/status").close();
  const std::string dpkg = "dpkg --root=" + root.path +
                           " --force-depends --force-script-chrootless ";
  const command_result installed = run_command(dpkg + "-i " + deb);
  ASSERT_EQ(installed.status, 0) << installed.output;
  exchange_a_sentence(root.path + "/usr/bin/");
  // The unit names the server where the package puts it.
  EXPECT_NE(
      read_file(root.path + "/usr/lib/systemd/system/sentences-server@.service")
          .find("ExecStart=/usr/bin/server\n"),
      std::string::npos);
  const command_result purged = run_command(dpkg + "--purge sentences");
  ASSERT_EQ(purged.status, 0) << purged.output;
  std::set<std::string> left;
  for (const std::string& file : files_under(root.path)) {
    if (file.compare(0, 13, "var/lib/dpkg/") != 0) left.insert(file);
  }
  EXPECT_EQ(left, std::set<std::string>{});
  EXPECT_FALSE(std::filesystem::exists(root.path + "/usr/share/doc/sentences"));
}

// The two programs need a compiler, CMake, make and libseccomp: a tree
// configured without GoogleTest builds them; one renamed for a packager
// names them, their pages and their messages so.
TEST(Build, MakesTheProgramsWithoutGoogleTestAndRenamed) {
  const scratch_folder tree("build-test");
  ASSERT_FALSE(tree.path.empty());
  const std::string cmake = CMAKE_COMMAND;
  const command_result built = run_command(
      cmake + " -S " SOURCE_DIR " -B " + tree.path +
      " -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON"
      " -DPROGRAM_PREFIX=udp- && " +
      cmake + " --build " + tree.path + " -j 2 --target server client pages");
  ASSERT_EQ(built.status, 0) << built.output;
  EXPECT_NE(built.output.find("GoogleTest not found"), std::string::npos);
  for (const char* name : programs) {
    SCOPED_TRACE(name);
    const std::string renamed = std::string("udp-") + name;
    const std::string path = tree.path + "/bin/" + renamed;
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(run_command(path + " --version").output,
              renamed + " " SENTENCES_VERSION "\n");
    std::string refused = renamed;
    refused += ": unexpected argument '-x'\nUsage: ";
    refused += renamed;
    refused += " [--help | --version]\n";
    EXPECT_EQ(run_command(path + " -x").output, refused);
    const std::string page = read_file(tree.path + "/man/" + renamed + ".1");
    EXPECT_NE(page.find(".TH UDP-"), std::string::npos);
    EXPECT_NE(page.find(renamed + " \\-"), std::string::npos);
    EXPECT_NE(page.find("\"" + renamed + ": unexpected argument"),
              std::string::npos);
    EXPECT_TRUE(
        std::filesystem::exists(tree.path + "/man/" + renamed + ".1.gz"));
  }
}

}  // namespace
