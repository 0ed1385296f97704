// The man pages of hospd and hospctl against the programs' own --help texts.
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "HospdProcess.h"

namespace {

// The roff source as it reads: "\-" is a plain hyphen.
std::string ManPage(const std::string& name) {
  std::string page = ReadBytes(std::string(HOSP_TEST_BUILD_DIR) + "/man/" + name);
  for (auto at = page.find("\\-"); at != std::string::npos; at = page.find("\\-", at)) {
    page.erase(at, 1);
  }
  return page;
}

bool IsOptionLetter(char c) { return (c >= 'a' && c <= 'z') || c == '-'; }

// Every "--word" in the text, the word of lower-case letters and inner hyphens.
std::set<std::string> LongOptions(const std::string& text) {
  std::set<std::string> found;
  for (auto at = text.find("--"); at != std::string::npos; at = text.find("--", at + 2)) {
    if (at > 0 && IsOptionLetter(text[at - 1])) continue;
    std::size_t end = at + 2;
    while (end < text.size() && IsOptionLetter(text[end])) ++end;
    while (end > at + 2 && text[end - 1] == '-') --end;
    if (end > at + 2) found.insert(text.substr(at, end - at));
  }
  return found;
}

// The names listed under "Subcommands:" in a CLI11 help text.
std::vector<std::string> Subcommands(const std::string& help) {
  std::vector<std::string> names;
  const auto start = help.find("Subcommands:\n");
  if (start == std::string::npos) return names;
  std::istringstream lines(help.substr(start));
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line) && line.rfind("  ", 0) == 0) {
    std::istringstream words(line);
    std::string name;
    words >> name;
    names.push_back(name);
  }
  return names;
}

std::string GroffWarnings(const std::string& name) {
  const CommandOutcome groff =
      RunProgram("env", {"LC_ALL=C.UTF-8", "groff", "-man", "-Tutf8", "-ww", "-z",
                         std::string(HOSP_TEST_BUILD_DIR) + "/man/" + name});
  const std::string output = groff.out + groff.err;
  return groff.status == 0 ? output : "groff failed: " + output;
}

// Every subcommand of hospd (found by walking the help texts) is in the man page's synopsis,
// and the long options of all help texts are exactly those the man page names.
TEST(HelpTextTest, HospdManPageMatchesTheHelpTexts) {
  const std::string page = ManPage("hospd.8");
  ASSERT_FALSE(page.empty());
  std::set<std::string> help_options;
  std::vector<std::string> paths{""};
  for (std::size_t i = 0; i < paths.size(); ++i) {
    std::vector<std::string> arguments;
    std::istringstream words(paths[i]);
    for (std::string word; words >> word;) arguments.push_back(word);
    arguments.push_back("--help");
    const CommandOutcome help = RunHospd(arguments);
    ASSERT_EQ(help.status, 0) << paths[i];
    const auto options = LongOptions(help.out);
    help_options.insert(options.begin(), options.end());
    for (const std::string& name : Subcommands(help.out)) {
      const std::string path = paths[i].empty() ? name : paths[i] + " " + name;
      EXPECT_NE(page.find(".B hospd " + path), std::string::npos) << "no synopsis for " << path;
      paths.push_back(path);
    }
  }
  EXPECT_GT(paths.size(), 5u);
  EXPECT_EQ(LongOptions(page), help_options);
  EXPECT_EQ(GroffWarnings("hospd.8"), "");
}

// hospctl's commands and options in its usage text and in its man page are the same.
TEST(HelpTextTest, HospctlManPageMatchesTheUsage) {
  const std::string page = ManPage("hospctl.1");
  const std::string usage = RunProgram(HOSPCTL_PATH, {"--help"}).out;
  ASSERT_FALSE(page.empty());
  std::set<std::string> usage_commands;
  std::istringstream lines(usage);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("  ", 0) != 0 || line.rfind("   ", 0) == 0) continue;
    std::istringstream words(line);
    std::string name;
    words >> name;
    usage_commands.insert(name);
  }
  // Each command of the page is a tagged paragraph: ".TP", then ".B name" or ".BI name ...".
  std::set<std::string> page_commands;
  const std::size_t first = page.find(".SH COMMANDS");
  const std::string commands = page.substr(first, page.find(".SH OPTIONS") - first);
  std::istringstream page_lines(commands);
  bool tagged = false;
  for (std::string line; std::getline(page_lines, line);) {
    if (tagged && (line.rfind(".B ", 0) == 0 || line.rfind(".BI ", 0) == 0)) {
      std::istringstream words(line);
      std::string macro, name;
      words >> macro >> name;
      page_commands.insert(name);
    }
    tagged = line == ".TP";
  }
  EXPECT_EQ(page_commands, usage_commands);
  EXPECT_EQ(LongOptions(page), LongOptions(usage));
  EXPECT_EQ(GroffWarnings("hospctl.1"), "");
}

}  // namespace
