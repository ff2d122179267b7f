// The manual pages and the systemd unit: clean for their checkers, and
// covering every option and configuration keyword the program really has.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <string>

#include "support/support.h"

namespace {

using namespace testsupport;

const char MANDOC[] = "/usr/bin/mandoc";
const char SYSTEMD_ANALYZE[] = "/usr/bin/systemd-analyze";

std::string source(const std::string& path) { return read_file(source_dir() + "/" + path); }

// The option letters of the getopt string in the command-line code.
std::set<char> option_letters() {
  std::smatch m;
  std::string cli = source("src/main/cli.cpp");
  std::regex options(R"re(OPTIONS\[\]\s*=\s*"\+?([^"]*)")re");
  std::set<char> letters;
  if (std::regex_search(cli, m, options))
    for (char c : m[1].str())
      if (c != ':') letters.insert(c);
  return letters;
}

// The keywords of the loader's one table: {"name", scope::..., handler}.
std::set<std::string> loader_keywords() {
  std::string table = source("src/config/keywords.cpp");
  std::set<std::string> words;
  std::regex entry(R"re(\{"([a-z]+)", scope::)re");
  for (std::sregex_iterator it(table.begin(), table.end(), entry), end; it != end; ++it)
    words.insert((*it)[1].str());
  return words;
}

class ManualPage : public ::testing::TestWithParam<const char*> {};

TEST_P(ManualPage, MandocFindsNothingToWarnAbout) {
  if (access(MANDOC, X_OK) != 0) GTEST_SKIP() << "mandoc is not installed";
  std::string page = source_dir() + "/man/" + GetParam();
  ASSERT_FALSE(read_file(page).empty()) << page;
  auto r = run({MANDOC, "-T", "lint", "-W", "warning", page});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ("", r.out + r.err);
}

INSTANTIATE_TEST_SUITE_P(Pages, ManualPage, ::testing::Values("callvane.8", "callvane.conf.5"),
                         [](const auto& info) {
                           std::string name = info.param;
                           return name.substr(0, name.find('.')) +
                                  (name.back() == '8' ? "Eight" : "Five");
                         });

TEST(ManualPageCoverage, EveryOptionHasItsEntry) {
  std::set<char> letters = option_letters();
  ASSERT_GE(letters.size(), 15u) << "the option string was not found";
  std::string page = source("man/callvane.8");
  for (char c : letters) {
    // An entry is a tagged paragraph opened by the option in bold.
    std::regex entry("\n\\.TP\n\\.BI? \\\\-" + std::string(1, c) + "[ \n]");
    EXPECT_TRUE(std::regex_search(page, entry)) << "-" << c << " is not documented";
  }
}

TEST(ManualPageCoverage, EveryKeywordHasItsEntry) {
  std::set<std::string> words = loader_keywords();
  ASSERT_GE(words.size(), 30u) << "the keywords were not found";
  std::string page = source("man/callvane.conf.5");
  for (const std::string& w : words) {
    std::regex entry("\n\\.TP\n\\.BI " + w + "= ");
    EXPECT_TRUE(std::regex_search(page, entry)) << w << "= is not documented";
  }
}

TEST(ManualPageCoverage, TheNamedEnvironmentIsDocumented) {
  std::string page = source("man/callvane.8");
  for (const char* name : {"SNPP_SERVER", "SNPP_LOGIN"})
    EXPECT_TRUE(std::regex_search(page, std::regex(std::string("\n\\.B ") + name + "\n"))) << name;
}

// systemd-analyze wants the program of ExecStart to exist and the pages of
// Documentation= to be found, so both point into this tree.
TEST(SystemdUnit, VerifiesWithoutErrors) {
  if (access(SYSTEMD_ANALYZE, X_OK) != 0) GTEST_SKIP() << "systemd-analyze is not installed";
  std::string unit = source("etc/callvane.service");
  ASSERT_NE(std::string::npos, unit.find("ExecStart=/usr/bin/callvane ")) << unit;
  unit = std::regex_replace(unit, std::regex("/usr/bin/callvane"), callvane_path());
  temp_dir dir;
  std::string path = dir.write("callvane.service", unit);
  for (const char* sub : {"man", "man/man8", "man/man5"})
    ASSERT_EQ(0, mkdir(dir.file(sub).c_str(), 0755)) << sub;
  dir.write("man/man8/callvane.8", source("man/callvane.8"));
  dir.write("man/man5/callvane.conf.5", source("man/callvane.conf.5"));
  run_options opts;
  opts.env["MANPATH"] = dir.file("man");
  opts.limit = std::chrono::seconds(60);
  auto r = run({SYSTEMD_ANALYZE, "verify", path}, opts);
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ("", r.out + r.err);
}

TEST(SystemdUnit, PidFileIsTheOneTheExampleConfigurationNames) {
  std::smatch unit_pid, conf_pid;
  std::string unit = source("etc/callvane.service");
  std::string conf = source("etc/callvane.conf");
  ASSERT_TRUE(std::regex_search(unit, unit_pid, std::regex("\nPIDFile=([^\n]*)")));
  ASSERT_TRUE(std::regex_search(conf, conf_pid, std::regex("\npidfile=([^\n]*)")));
  EXPECT_EQ(unit_pid[1].str(), conf_pid[1].str());
}

}  // namespace
