// open_link with fake desktop tools: xdg-open, xdg-mime and a browser are
// small shell scripts in a temporary folder that is the whole PATH.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/open_link.h"
#include "tests/support/test_util.h"

namespace tvl::test {
namespace {

class OpenLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_path_ = std::getenv("PATH") ? std::getenv("PATH") : "";
    saved_data_ = std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "";
    setenv("PATH", (dir_.path() + "bin").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir_.path() + "data").c_str(), 1);
    setenv("XDG_DATA_DIRS", (dir_.path() + "none").c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", saved_path_.c_str(), 1);
    if (saved_data_.empty()) unsetenv("XDG_DATA_HOME");
    else setenv("XDG_DATA_HOME", saved_data_.c_str(), 1);
    unsetenv("XDG_DATA_DIRS");
  }

  // An executable script in bin/ that records its arguments, one a line, in
  // <name>.args and then runs `then`.
  void tool(const std::string& name, const std::string& then) {
    const std::string path = dir_.path() + "bin/" + name;
    dir_.write("bin/" + name, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + path + ".args'\n" + then + "\n");
    ::chmod(path.c_str(), 0755);
  }
  void xdg_open_fails_with(int status) { tool("xdg-open", "exit " + std::to_string(status)); }
  // xdg-mime names fake.desktop, whose Exec line is `exec`.
  void browser_entry(const std::string& exec) {
    tool("xdg-mime", "echo fake.desktop");
    dir_.write("data/applications/fake.desktop",
               "[Desktop Entry]\nName=Fake\nExec=" + exec + "\n[Desktop Action new]\nExec=wrong %u\n");
  }
  std::string bin(const std::string& name) const { return dir_.path() + "bin/" + name; }
  // The arguments a tool was started with; waits for a tool that runs on
  // its own (the browser) to have written them.
  std::string args_of(const std::string& name) {
    for (int i = 0; i < 500 && !dir_.exists("bin/" + name + ".args"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string text = dir_.exists("bin/" + name + ".args") ? dir_.read("bin/" + name + ".args") : "";
    return text;
  }

  TempDir dir_;
  std::string saved_path_, saved_data_;
};

TEST_F(OpenLinkTest, XdgOpenResults) {
  struct Case {
    std::string script;
    int result;
  } cases[] = {
      {"exit 0", kLinkOpened},
      {"exit 2", kLinkFileNotFound},
      {"exit 3", kLinkNoAssociation},
      {"exit 4", kLinkNoAssociation},
      {"exit 1", kLinkUnknownError},
      {"kill -9 $$", kLinkUnknownError},
  };
  for (const Case& c : cases) {
    tool("xdg-open", c.script);  // no xdg-mime: no browser to fall back on
    EXPECT_EQ(open_link("https://example.org/a b"), c.result) << c.script;
    EXPECT_EQ(args_of("xdg-open"), "https://example.org/a b\n") << c.script;
  }
}

TEST_F(OpenLinkTest, NoToolsAtAllIsNoAssociation) {
  EXPECT_EQ(open_link("mailto:a@example.org"), kLinkNoAssociation);
}

TEST_F(OpenLinkTest, FallsBackToTheDesktopBrowser) {
  xdg_open_fails_with(4);
  tool("browser", "exit 0");
  browser_entry("\"" + bin("browser") + "\" --new-window \"%u\" --ignored");
  EXPECT_EQ(open_link("http://127.0.0.1/x?a=1&b=\"2\""), kLinkOpened);
  EXPECT_EQ(args_of("browser"), "--new-window\nhttp://127.0.0.1/x?a=1&b=\"2\"\n");
}

TEST_F(OpenLinkTest, BrowserStartFailures) {
  xdg_open_fails_with(3);
  dir_.write("bin/plain-file", "not a program");
  ::chmod((dir_.path() + "bin/plain-file").c_str(), 0644);
  dir_.write("bin/no-format", "\x7f" "ELF garbage");
  ::chmod((dir_.path() + "bin/no-format").c_str(), 0755);
  struct Case {
    std::string exec;
    int result;
  } cases[] = {
      {bin("missing") + " %u", kLinkFileNotFound},
      {bin("plain-file") + " %u", kLinkAccessDenied},
      {bin("no-format") + " %u", kLinkBadProgram},
      {"", kLinkNoAssociation},  // an entry without a command: xdg-open's result
  };
  for (const Case& c : cases) {
    browser_entry(c.exec);
    EXPECT_EQ(open_link("http://127.0.0.1/"), c.result) << c.exec;
  }
}

TEST_F(OpenLinkTest, MissingDesktopFileKeepsTheShellResult) {
  xdg_open_fails_with(2);
  tool("xdg-mime", "echo nowhere.desktop");
  EXPECT_EQ(open_link("/no/such/file.html"), kLinkFileNotFound);
}

TEST(BrowserCommand, ExecLines) {
  struct Case {
    std::string exec;
    std::vector<std::string> args;
  } cases[] = {
      {"firefox %u", {"firefox", "T"}},
      {"chromium %U --flag", {"chromium", "T"}},
      {"browser", {"browser", "T"}},
      {"\"/opt/my browser/run\" --new-window \"%u\"", {"/opt/my browser/run", "--new-window", "T"}},
      {"a %u \"b %f\"", {"a", "T"}},  // the quoted code wins, cut before its quote
      {"env A=1 browser %i %c %u", {"env", "A=1", "browser", "T"}},
      {"x 100%% %f", {"x", "100%", "T"}},
      {"x \"say \\\"hi\\\"\" %u", {"x", "say \"hi\"", "T"}},
      {"  spaced\t %F", {"spaced", "T"}},
      {"", {}},
      {"%u", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(browser_command(c.exec, "T"), c.args) << c.exec;
}

}  // namespace
}  // namespace tvl::test
