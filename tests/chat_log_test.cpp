// The daily chat log: file per local day, line format, one folder under the
// program folder whatever WebPages says, long lines, the save_log switch,
// private modes, and rows lost to a full disk.
#include "storage/chat_log.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>

#include "platform/write_faults.h"

#include "storage/settings.h"
#include "tests/support/test_util.h"

namespace tvl::test {
namespace {

using namespace std::string_literals;

std::time_t local_time(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

class ChatLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    site_.program_folder = program_.path();
    site_.settings.web_pages = pages_.path();
    site_.settings.save_log = true;
    at(2026, 3, 14, 23, 59, 58);
    log_.set_clock([this] { return now_; });
    log_.set_program_folder(program_.path());
    log_.set_report([this](const std::string& text) { told_.push_back(text); });
  }
  void TearDown() override { set_write_fault_plan({}); }
  void at(int y, int mo, int d, int h, int mi, int s) { now_ = local_time(y, mo, d, h, mi, s); }
  // What the server start does, then what load_settings leaves as log date.
  void start_day(const char* date) {
    log_.open_day();
    site_.log_date = date;
  }
  void event(const std::string& text) { log_.log_chat_event(site_, "10.0.0.7", "12:34:56", text); }

  TempDir program_, pages_;
  SiteData site_;
  ChatLog log_;
  std::time_t now_ = 0;
  std::vector<std::string> told_;
};

TEST_F(ChatLogTest, OpenDayCreatesAPrivateFolderAndFileForTheDay) {
  log_.open_day();
  EXPECT_EQ(program_.path() + "log/20260314.txt", log_.path());
  EXPECT_EQ(chat_log_file(program_.path(), now_), log_.path());
  EXPECT_EQ("", program_.read("log/20260314.txt"));
  EXPECT_FALSE(pages_.exists("log"));
  struct stat st {};
  ASSERT_EQ(0, ::stat((program_.path() + "log").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);
  ASSERT_EQ(0, ::stat(log_.path().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(ChatLogTest, LinesAreAppendedInTheExactFormat) {
  start_day("2026-03-14");
  event("Joe entered the room Lobby");
  event("Joe: hi there");
  EXPECT_EQ("10.0.0.7 12:34:56 Joe entered the room Lobby\r\n10.0.0.7 12:34:56 Joe: hi there\r\n",
            program_.read("log/20260314.txt"));
  // A second open of the same day appends.
  log_.open_day();
  EXPECT_TRUE(log_.write_line("more"));
  EXPECT_NE(std::string::npos, program_.read("log/20260314.txt").find("hi there\r\nmore\r\n"));
}

TEST_F(ChatLogTest, DayChangeStaysInTheOneFolder) {
  start_day("2026-03-14");
  event("before midnight");
  at(2026, 3, 15, 0, 0, 5);
  event("after midnight");
  event("and again");
  EXPECT_EQ("2026-03-15", site_.log_date);
  EXPECT_EQ(program_.path() + "log/20260315.txt", log_.path());
  EXPECT_EQ("10.0.0.7 12:34:56 before midnight\r\n", program_.read("log/20260314.txt"));
  EXPECT_EQ("10.0.0.7 12:34:56 after midnight\r\n10.0.0.7 12:34:56 and again\r\n",
            program_.read("log/20260315.txt"));
  EXPECT_FALSE(pages_.exists("log"));
}

TEST_F(ChatLogTest, ControlCharactersInATextNeverStartARowOfTheirOwn) {
  start_day("2026-03-14");
  event("eve to All: hi\r\n10.0.0.1 12:00:00 ann to All: I owe eve\n\x1b[31mred\x7f\x00.\tok"s);
  // C1 controls in their UTF-8 form: NEL, CSI; other two-byte letters stay.
  event("a\xc2\x85" "b\xc2\x9b" "2Jc \xc2\xa0\xc3\xa9");
  event("next");
  EXPECT_EQ("10.0.0.7 12:34:56 eve to All: hi  10.0.0.1 12:00:00 ann to All: I owe eve  [31mred  .\tok\r\n"
            "10.0.0.7 12:34:56 a b 2Jc \xc2\xa0\xc3\xa9\r\n"
            "10.0.0.7 12:34:56 next\r\n",
            program_.read("log/20260314.txt"));
}

TEST_F(ChatLogTest, FileNamesHaveFourDigitYearAndTwoDigitMonthAndDay) {
  at(2027, 1, 2, 9, 0, 0);
  log_.open_day();
  EXPECT_TRUE(program_.exists("log/20270102.txt"));
}

TEST_F(ChatLogTest, LongLinesAreCutToTheLineBuffer) {
  start_day("2026-03-14");
  const std::size_t prefix = std::string("10.0.0.7 12:34:56 ").size();
  struct Case {
    std::size_t text_size;
    std::size_t written;
  } cases[] = {
      {ChatLog::kMaxLine - prefix, ChatLog::kMaxLine},
      {ChatLog::kMaxLine - prefix + 1, ChatLog::kMaxLine},
      {100000, ChatLog::kMaxLine},
  };
  std::string expected;
  for (const Case& c : cases) {
    std::string text(c.text_size, 'x');
    event(text);
    expected += ("10.0.0.7 12:34:56 " + text).substr(0, c.written) + "\r\n";
  }
  EXPECT_EQ(expected, program_.read("log/20260314.txt"));
}

TEST_F(ChatLogTest, WithSaveLogOffNothingIsWrittenButTheDayFileExists) {
  site_.settings.save_log = false;
  start_day("2026-03-14");
  event("not logged");
  at(2026, 3, 15, 0, 0, 5);
  event("not logged either");
  EXPECT_EQ("", program_.read("log/20260314.txt"));
  EXPECT_FALSE(program_.exists("log/20260315.txt"));
  EXPECT_EQ("2026-03-14", site_.log_date);
}

// --- error paths ---------------------------------------------------------------

TEST_F(ChatLogTest, WithoutAnOpenFileLinesAreRefused) {
  EXPECT_FALSE(log_.write_line("nowhere"));
  log_.set_program_folder(program_.path() + "missing/");
  log_.open_day();
  EXPECT_FALSE(log_.write_line("nowhere"));
  ASSERT_EQ(1u, told_.size());
  EXPECT_NE(std::string::npos, told_[0].find(program_.path() + "missing/log/20260314.txt")) << told_[0];
  // Opening a good folder later recovers.
  log_.set_program_folder(program_.path());
  log_.open_day();
  EXPECT_TRUE(log_.write_line("here"));
  EXPECT_EQ("here\r\n", program_.read("log/20260314.txt"));
}

TEST_F(ChatLogTest, AFullDiskLeavesNoHalfRowAndTheLossIsTold) {
  start_day("2026-03-14");
  event("first");
  for (WriteFault kind : {WriteFault::Short, WriteFault::NoSpace, WriteFault::Fail}) {
    set_write_fault_plan({kind, 1});
    event("lost to a full disk");
    event("lost too");
    set_write_fault_plan({});
  }
  event("after space was freed");
  // Fail strikes one write only: the row after it is written.
  EXPECT_EQ("10.0.0.7 12:34:56 first\r\n10.0.0.7 12:34:56 lost too\r\n"
            "10.0.0.7 12:34:56 after space was freed\r\n",
            program_.read("log/20260314.txt"));
  EXPECT_EQ(5, log_.lost_rows());
  ASSERT_EQ(2u, told_.size());
  EXPECT_NE(std::string::npos, told_[0].find("cannot be written")) << told_[0];
  EXPECT_NE(std::string::npos, told_[1].find("5 rows were lost")) << told_[1];
}

}  // namespace
}  // namespace tvl::test
