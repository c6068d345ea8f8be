// Profile files: lookup rules on reading, and writes that keep everything
// they do not change byte for byte.
#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/test_util.h"

namespace tvl::test {
namespace {

class ProfileTest : public ::testing::Test {
 protected:
  std::string file(const std::string& name = "p.ini") const { return dir_.path() + name; }
  void given(const std::string& content) const { dir_.write("p.ini", content); }
  std::string content() const { return dir_.read("p.ini"); }
  std::string get(const std::string& section, const std::string& key,
                  const std::string& fallback = "DEF", std::size_t size = 256) const {
    return get_profile_string(section, key, fallback, size, file());
  }
  bool put(const std::string& section, const std::string& key, const std::string& value) const {
    return write_profile_string(section, key, value, file());
  }

  TempDir dir_;
};

// --- reading ---------------------------------------------------------------

struct ReadCase {
  const char* what;
  const char* content;
  const char* section;
  const char* key;
  const char* expected;
};

const ReadCase kReads[] = {
    {"plain", "[Server]\r\nport=8080\r\n", "Server", "port", "8080"},
    {"section case", "[SERVER]\r\nport=1\r\n", "server", "port", "1"},
    {"key case", "[Server]\r\nPort=2\r\n", "Server", "pORT", "2"},
    {"LF line ends", "[Server]\nport=3\n", "Server", "port", "3"},
    {"no final line end", "[Server]\r\nport=4", "Server", "port", "4"},
    {"blanks around names", "  [ Server ]  \r\n\t port \t=5\r\n", "Server", "port", "5"},
    {"blanks around value", "[Server]\r\nport=  6 \t\r\n", "Server", "port", "6"},
    {"double quotes removed", "[S]\r\nk=\"a b \"\r\n", "S", "k", "a b "},
    {"single quotes removed", "[S]\r\nk='x'\r\n", "S", "k", "x"},
    {"only one pair removed", "[S]\r\nk=\"\"x\"\"\r\n", "S", "k", "\"x\""},
    {"unmatched quotes kept", "[S]\r\nk=\"x'\r\n", "S", "k", "\"x'"},
    {"lone quote kept", "[S]\r\nk=\"\r\n", "S", "k", "\""},
    {"inner quotes kept", "[S]\r\nk=a\"b\"\r\n", "S", "k", "a\"b\""},
    {"empty value", "[S]\r\nk=\r\n", "S", "k", ""},
    {"value with =", "[S]\r\nk=a=b\r\n", "S", "k", "a=b"},
    {"first key wins", "[S]\r\nk=1\r\nK=2\r\n", "S", "k", "1"},
    {"key of another section", "[A]\r\nk=1\r\n[S]\r\nj=2\r\n", "S", "k", "DEF"},
    {"key before any section", "k=1\r\n[S]\r\n", "S", "k", "DEF"},
    {"missing section", "[A]\r\nk=1\r\n", "S", "k", "DEF"},
    {"missing key", "[S]\r\nj=1\r\n", "S", "k", "DEF"},
    {"comment is no key", "[S]\r\n;k=1\r\n", "S", ";k", "DEF"},
    {"section name is whole", "[Servers]\r\nk=1\r\n", "Server", "k", "DEF"},
    {"key name is whole", "[S]\r\nkey=1\r\n", "S", "k", "DEF"},
};

TEST_F(ProfileTest, ReadsFollowTheLookupRules) {
  for (const ReadCase& c : kReads) {
    given(c.content);
    EXPECT_EQ(c.expected, get(c.section, c.key)) << c.what;
  }
}

TEST_F(ProfileTest, MissingFileGivesTheDefault) {
  EXPECT_EQ("80", get_profile_string("Server", "port", "80", 256, file("none.ini")));
}

TEST_F(ProfileTest, ValueIsCutToTheBufferLessOne) {
  given("[S]\r\nk=abcdef\r\n");
  EXPECT_EQ("abcdef", get("S", "k", "", 7));
  EXPECT_EQ("abcde", get("S", "k", "", 6));
  EXPECT_EQ("a", get("S", "k", "", 2));
  EXPECT_EQ("", get("S", "k", "", 1));
  EXPECT_EQ("", get("S", "k", "", 0));
  // The default obeys the same buffer.
  EXPECT_EQ("xy", get("S", "missing", "xyz", 3));
}

// --- writing ---------------------------------------------------------------

struct WriteCase {
  const char* what;
  const char* before;
  const char* section;
  const char* key;
  const char* value;
  const char* after;
};

const WriteCase kWrites[] = {
    {"new file", "", "Server", "Port", "80", "[Server]\r\nPort=80\r\n"},
    {"replace keeps spelling and neighbours",
     "; top comment\n[server]\nport = 80 ; old\nOther=x\n", "Server", "Port", "8080",
     "; top comment\n[server]\nport=8080\r\nOther=x\n"},
    {"new key after the section's last line",
     "[A]\r\na=1\r\n\r\n[B]\r\nb=2\r\n", "A", "n", "v",
     "[A]\r\na=1\r\nn=v\r\n\r\n[B]\r\nb=2\r\n"},
    {"new key in a section without line end at the end", "[A]\na=1", "a", "n", "v",
     "[A]\na=1\r\nn=v\r\n"},
    {"new key in an empty last section", "x=1\n[A]\n", "A", "k", "1", "x=1\n[A]\nk=1\r\n"},
    {"new section at the end", "[A]\na=1\n; tail\n", "B", "k", "v",
     "[A]\na=1\n; tail\n[B]\r\nk=v\r\n"},
    {"new section after a file without final line end", "[A]\na=1", "B", "k", "v",
     "[A]\na=1\r\n[B]\r\nk=v\r\n"},
    {"only the first matching key changes", "[A]\nk=1\nK=2\n", "A", "k", "3",
     "[A]\nk=3\r\nK=2\n"},
    {"unknown keys and odd lines stay", "[A]\n  junk line\nzz=\"q\"\n[B]\nk=1\n", "B", "k", "2",
     "[A]\n  junk line\nzz=\"q\"\n[B]\nk=2\r\n"},
};

TEST_F(ProfileTest, WritesChangeOnlyTheirLine) {
  for (const WriteCase& c : kWrites) {
    std::string name = "w.ini";
    if (*c.before) dir_.write(name, c.before);
    ASSERT_TRUE(write_profile_string(c.section, c.key, c.value, file(name))) << c.what;
    EXPECT_EQ(c.after, dir_.read(name)) << c.what;
    ::unlink(file(name).c_str());
  }
}

TEST_F(ProfileTest, WrittenValuesReadBack) {
  ASSERT_TRUE(put("Server", "Port", "81"));
  ASSERT_TRUE(put("Server", "startup", "1"));
  ASSERT_TRUE(put("Other", "Port", "5"));
  EXPECT_EQ("81", get("SERVER", "port"));
  EXPECT_EQ("1", get("server", "Startup"));
  EXPECT_EQ("5", get("other", "PORT"));
  ASSERT_TRUE(put("Server", "port", "82"));
  EXPECT_EQ("[Server]\r\nPort=82\r\nstartup=1\r\n[Other]\r\nPort=5\r\n", content());
}

TEST_F(ProfileTest, RewriteKeepsTheFileMode) {
  given("[S]\nk=1\n");
  ::chmod(file().c_str(), 0600);
  ASSERT_TRUE(put("S", "k", "2"));
  struct stat st;
  ASSERT_EQ(0, ::stat(file().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

// Several keys in one replacement of the file: the same text as writing
// them one by one.
TEST_F(ProfileTest, SeveralKeysAreOneWholeReplacement) {
  given("; note\r\n[main]\r\nsex=0\r\nDisabled=Yes\r\n[other]\r\nx=1\r\n");
  ASSERT_TRUE(write_profile_strings("main", {{"password", "pw"}, {"Sex", "1"}, {"Icon", "3.gif"}},
                                    file()));
  EXPECT_EQ(content(),
            "; note\r\n[main]\r\nsex=1\r\nDisabled=Yes\r\npassword=pw\r\nIcon=3.gif\r\n[other]\r\nx=1\r\n");
  ASSERT_TRUE(write_profile_strings("new", {{"a", "1"}, {"b", "2"}}, file("n.ini")));
  EXPECT_EQ(dir_.read("n.ini"), "[new]\r\na=1\r\nb=2\r\n");
}

// --- large files -----------------------------------------------------------

constexpr std::size_t kMiB = 1024 * 1024;

// `bytes` of lines that are neither sections nor keys.
std::string filler(std::size_t bytes, const std::string& line = "no equals sign on this line\r\n") {
  std::string text;
  text.reserve(bytes + line.size());
  while (text.size() < bytes) text += line;
  return text;
}

struct LargeCase {
  const char* what;
  std::string content;
  const char* expected;  // port of [Server]
};

TEST_F(ProfileTest, LargeFilesAreReadAsFarAsTheirFirstMiB) {
  const std::string key = "[Server]\r\nport=8080\r\n";
  // A key line that begins before the bound and ends after it.
  std::string straddling = filler(kMiB - 64) + "[Server]\r\n";
  straddling += std::string(kMiB - 4 - straddling.size(), ' ') + "port=12345\r\n";
  const LargeCase cases[] = {
      {"key first, 5 MB after it", key + filler(5 * kMiB), "8080"},
      {"section headers without ']'", key + filler(5 * kMiB, "[no close\n"), "8080"},
      {"key just inside the bound", filler(kMiB - 100) + key, "8080"},
      {"key past the bound", filler(5 * kMiB) + key, "DEF"},
      {"key line cut by the bound", straddling, "DEF"},
      {"one line longer than the bound", std::string(2 * kMiB, 'x') + "\n" + key, "DEF"},
  };
  for (const LargeCase& c : cases) {
    given(c.content);
    EXPECT_EQ(c.expected, get("Server", "port")) << c.what;
  }
}

TEST_F(ProfileTest, WriteIntoALargeFileKeepsAllOfIt) {
  const std::string tail = filler(5 * kMiB);
  given("[Server]\r\nport=1\r\n" + tail);
  ASSERT_TRUE(put("Server", "Port", "2"));
  EXPECT_EQ("[Server]\r\nport=2\r\n" + tail, content());
  ASSERT_TRUE(put("Other", "k", "v"));
  EXPECT_EQ("[Server]\r\nport=2\r\n" + tail + "[Other]\r\nk=v\r\n", content());
  EXPECT_EQ("2", get("Server", "port"));
}

// --- error paths -------------------------------------------------------------

TEST_F(ProfileTest, WritingOverAFolderFailsAndLeavesIt) {
  dir_.write("d.ini/inner", "x");
  EXPECT_FALSE(write_profile_strings("S", {{"k", "v"}}, file("d.ini")));
  EXPECT_FALSE(write_profile_string("S", "k", "v", file("d.ini")));
  EXPECT_EQ(dir_.read("d.ini/inner"), "x");
}

TEST_F(ProfileTest, WriteIntoAMissingFolderFails) {
  EXPECT_FALSE(write_profile_string("S", "k", "v", dir_.path() + "no/such/p.ini"));
  EXPECT_FALSE(dir_.exists("no"));
}

}  // namespace
}  // namespace tvl::test
