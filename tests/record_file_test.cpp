// The record-file engine and its key index: operations, edge cases, error
// texts and the exact bytes written.
#include "storage/record_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "storage/record_file_create.h"
#include "storage/record_format.h"
#include "tests/record_file_helpers.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

using namespace rft;
using recfmt::kHeaderSize;

class RecordFileTest : public ::testing::Test {
 protected:
  std::string path() const { return dir_.path() + "t.sdb"; }
  void make(const RecordSchema& s) {
    Reason err;
    ASSERT_TRUE(create_record_file(path(), s, err)) << err.text;
    ASSERT_TRUE(f_.open(path())) << f_.last_error();
  }
  // "id" autoinc (key 0 unique), "name" string 64, "guest" byte.
  void make_rooms(bool packed = false) {
    RecordSchema s;
    s.fields = {field("id", FT_AUTOINC), field("name", FT_STRING, 64), field("guest", FT_BYTE)};
    s.keys = {single_key(0)};
    s.packed = packed;
    make(s);
  }
  // "n" int (key 0, duplicate mode given), "tag" string 16.
  void make_ints(int dup, bool packed = false) {
    RecordSchema s;
    s.fields = {field("n", FT_INT), field("tag", FT_STRING, 16)};
    s.keys = {single_key(0, dup)};
    s.packed = packed;
    make(s);
  }
  bool add_int(int32_t n, const std::string& tag = "") {
    f_.set_field(&n, "n");
    f_.set_field_text(tag, "tag");
    return f_.insert_record();
  }
  bool add_room(const std::string& name) {
    f_.set_field_text(name, "name");
    return f_.insert_record();
  }
  std::vector<int32_t> walk_ints(int key = 0) {
    std::vector<int32_t> out;
    for (bool ok = f_.move_first(key); ok; ok = f_.move_next(key)) {
      int32_t v;
      f_.get_field(&v, "n");
      out.push_back(v);
    }
    return out;
  }
  std::vector<std::string> walk_text(const std::string& field, int key = 0) {
    std::vector<std::string> out;
    for (bool ok = f_.move_first(key); ok; ok = f_.move_next(key)) out.push_back(f_.get_field_text(field));
    return out;
  }
  std::string bytes() {
    EXPECT_TRUE(f_.close());
    return file_bytes(path());
  }

  test::TempDir dir_;
  RecordFile f_;
};

// --- The handle's operations -------------------------------------------------

TEST_F(RecordFileTest, EmptyTableAndAutoIncrement) {
  make_rooms();
  EXPECT_EQ(f_.record_count(), 0);
  EXPECT_FALSE(f_.move_first(0));
  EXPECT_FALSE(f_.move_last(0));
  EXPECT_EQ(f_.last_id(), 0);
  ASSERT_TRUE(add_room("Lobby"));
  EXPECT_EQ(f_.last_id(), 1);
  ASSERT_TRUE(add_room("Members"));
  ASSERT_TRUE(add_room("Staff"));
  EXPECT_EQ(f_.record_count(), 3);
  EXPECT_EQ(f_.last_id(), 3);
  // Deleting the highest identifier hands it out again.
  ASSERT_TRUE(f_.move_last(0));
  ASSERT_TRUE(f_.delete_record());
  ASSERT_TRUE(add_room("Again"));
  EXPECT_EQ(f_.last_id(), 3);
  EXPECT_EQ(walk_text("name"), (std::vector<std::string>{"Lobby", "Members", "Again"}));
  // An identifier handed in by the caller is replaced.
  int32_t id = 77;
  ASSERT_TRUE(f_.set_field_text("Fourth", "name"));
  EXPECT_FALSE(f_.set_field(&id, "id"));
  EXPECT_EQ(f_.last_error(), "field invalidation");
  ASSERT_TRUE(f_.insert_record());
  EXPECT_EQ(f_.last_id(), 4);
}

TEST_F(RecordFileTest, AutoIncrementKeepsThePositionOfTheHandle) {
  make_rooms();
  for (auto n : {"a", "b", "c"}) ASSERT_TRUE(add_room(n));
  ASSERT_TRUE(f_.move_first(0));
  ASSERT_TRUE(add_room("d"));  // looks up the last record internally
  EXPECT_EQ(f_.get_field_text("name"), "a");
  ASSERT_TRUE(f_.move_next(0));
  EXPECT_EQ(f_.get_field_text("name"), "b");
}

TEST_F(RecordFileTest, InsertFromImageAndReadIntoBuffer) {
  make_ints(2);
  struct Img {
    int32_t n;
    char tag[16];
  } img{};
  static_assert(sizeof(Img) == 20);
  img.n = 5;
  std::strcpy(img.tag, "five");
  ASSERT_TRUE(f_.insert_record(&img, sizeof img));
  Img back{};
  int32_t five = 5;
  ASSERT_TRUE(f_.seek_key(0, &five, &back));
  EXPECT_EQ(back.n, 5);
  EXPECT_STREQ(back.tag, "five");
  char first4[8] = {};
  ASSERT_TRUE(f_.read_current(first4, 4));
  EXPECT_EQ(std::memcmp(first4, &five, 4), 0);
  EXPECT_EQ(first4[4], 0);  // len bytes only
}

TEST_F(RecordFileTest, DeleteKeepsTheEditRecord) {
  make_rooms();
  ASSERT_TRUE(add_room("a"));
  ASSERT_TRUE(add_room("b"));
  int32_t one = 1;
  ASSERT_TRUE(f_.seek_key(0, &one));
  ASSERT_TRUE(f_.set_field_text("prepared", "name"));
  ASSERT_TRUE(f_.delete_record());
  EXPECT_EQ(f_.get_field_text("name"), "a");  // the current record
  ASSERT_TRUE(f_.insert_record());
  EXPECT_EQ(walk_text("name"), (std::vector<std::string>{"b", "prepared"}));
}

TEST_F(RecordFileTest, FixedRecordSpaceIsReused) {
  make_ints(2);
  for (int i = 1; i <= 5; ++i) ASSERT_TRUE(add_int(i));
  EXPECT_TRUE(f_.close());
  long size = long(file_bytes(path()).size());
  ASSERT_TRUE(f_.open(path()));
  int32_t three = 3;
  ASSERT_TRUE(f_.seek_key(0, &three));
  ASSERT_TRUE(f_.delete_record());
  ASSERT_TRUE(add_int(3, "back"));  // same value: the removed slot is re-used too
  ASSERT_TRUE(add_int(6));
  std::string b = bytes();
  // Only the sixth record was appended; the leaf kept its place and count.
  EXPECT_EQ(long(b.size()), size + 20);
  ASSERT_TRUE(f_.open(path()));
  EXPECT_EQ(walk_ints(), (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
  ASSERT_TRUE(f_.seek_key(0, &three));
  EXPECT_EQ(f_.get_field_text("tag"), "back");
}

TEST_F(RecordFileTest, FieldIndexMatchesWithoutCaseAndTrimsStoredNames) {
  make_rooms();
  EXPECT_TRUE(f_.close());
  patch(path(), recfmt::kFieldNames + 32 * 2, std::string(" Guest\t\0", 8));
  ASSERT_TRUE(f_.open(path()));
  EXPECT_EQ(f_.field_index("ID"), 0);
  EXPECT_EQ(f_.field_index("nAmE"), 1);
  EXPECT_EQ(f_.field_index("guest"), 2);
  EXPECT_EQ(f_.field_index(" guest"), -1);
  EXPECT_EQ(f_.field_index("nam"), -1);
  EXPECT_EQ(f_.field_index(""), -1);
}

TEST_F(RecordFileTest, FieldTextForms) {
  RecordSchema s;
  s.fields = {field("id", FT_AUTOINC), field("s", FT_SHORT), field("i", FT_INT), field("f", FT_FLOAT),
              field("d", FT_DOUBLE), field("t", FT_STRING, 8), field("b", FT_BYTE),
              field("c", FT_CHAIN)};
  s.keys = {single_key(0)};
  make(s);
  struct {
    const char* name;
    const char* in;
    const char* out;
  } rows[] = {
      {"s", "-12", "-12"},       {"i", "123456", "123456"},     {"f", "2.5", "2.500000"},
      {"d", "2.5", "2.50000000000000"}, {"t", "far too long text", "far too "}, {"b", "5", "1"},
  };
  for (auto& r : rows) ASSERT_TRUE(f_.set_field_text(r.in, r.name)) << r.name;
  EXPECT_FALSE(f_.set_field_text("9", "c"));
  EXPECT_FALSE(f_.set_field_text("9", "id"));
  EXPECT_FALSE(f_.set_field_text("9", "nope"));
  ASSERT_TRUE(f_.insert_record());
  ASSERT_TRUE(f_.move_first(0));
  for (auto& r : rows) EXPECT_EQ(f_.get_field_text(r.name), r.out) << r.name;
  EXPECT_EQ(f_.get_field_text("id"), "1");
  EXPECT_EQ(f_.get_field_text("c"), "");
  EXPECT_EQ(f_.get_field_text(99), "");
  char t[8];
  ASSERT_TRUE(f_.get_field(t, "t"));
  EXPECT_EQ(std::string(t, 8), "far too ");  // full field, no terminator
  uint8_t b = 9;
  ASSERT_TRUE(f_.get_field(&b, "b"));
  EXPECT_EQ(b, 1);
  int64_t c;
  EXPECT_FALSE(f_.get_field(&c, "c"));
  EXPECT_EQ(f_.last_error(), "field invalidation");
  EXPECT_FALSE(f_.get_field(&c, 8));
  EXPECT_FALSE(f_.get_field(&c, -1));
  EXPECT_EQ(f_.field_count(), 8);
  EXPECT_EQ(f_.field_type(4), FT_DOUBLE);
  EXPECT_EQ(f_.field_size(5), 8);
}

TEST_F(RecordFileTest, OpeningAnotherFileClosesTheFirstAndWritesItsHeader) {
  make_ints(2);
  ASSERT_TRUE(add_int(1));
  std::string other = dir_.path() + "o.sdb";
  Reason err;
  RecordSchema s;
  s.fields = {field("x", FT_INT)};
  s.keys = {single_key(0)};
  ASSERT_TRUE(create_record_file(other, s, err)) << err.text;
  ASSERT_TRUE(f_.open(other));
  EXPECT_EQ(f_.record_count(), 0);
  EXPECT_EQ(i32_at(file_bytes(path()), recfmt::kRecordCount), 1);
  EXPECT_TRUE(f_.close());
  EXPECT_EQ(f_.record_count(), -1);
  EXPECT_FALSE(f_.move_first(0));
}

TEST_F(RecordFileTest, UpdateKeepsIdentifierAndMovesRecord) {
  make_rooms();
  for (auto n : {"a", "b", "c"}) ASSERT_TRUE(add_room(n));
  int32_t two = 2;
  ASSERT_TRUE(f_.seek_key(0, &two));
  ASSERT_TRUE(f_.set_field_text("B", "name"));
  ASSERT_TRUE(f_.update_record());
  EXPECT_EQ(f_.record_count(), 3);
  EXPECT_FALSE(f_.read_current());  // the old position is gone
  ASSERT_TRUE(f_.seek_key(0, &two));
  EXPECT_EQ(f_.get_field_text("name"), "B");
  EXPECT_EQ(walk_text("name"), (std::vector<std::string>{"a", "B", "c"}));
  EXPECT_EQ(f_.last_id(), 3);
}

TEST_F(RecordFileTest, UpdateRestoresTheOldRecordAfterAUniqueClash) {
  RecordSchema s;
  s.fields = {field("id", FT_AUTOINC), field("name", FT_STRING, 16)};
  s.keys = {single_key(0), single_key(1, 2, 2)};
  make(s);
  for (auto n : {"alpha", "beta", "gamma"}) {
    ASSERT_TRUE(f_.set_field_text(n, "name"));
    ASSERT_TRUE(f_.insert_record());
  }
  int32_t one = 1;
  ASSERT_TRUE(f_.seek_key(0, &one));
  ASSERT_TRUE(f_.set_field_text("GAMMA", "name"));  // clashes without regard to case
  EXPECT_FALSE(f_.update_record());
  EXPECT_EQ(f_.last_error(), "the key is unduplicated");
  EXPECT_EQ(f_.record_count(), 3);
  // The old record is back, under its old identifier.
  ASSERT_TRUE(f_.seek_key(0, &one));
  EXPECT_EQ(f_.get_field_text("name"), "alpha");
  EXPECT_EQ(walk_text("name", 1), (std::vector<std::string>{"alpha", "beta", "gamma"}));
  EXPECT_EQ(walk_text("id", 0), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_TRUE(f_.seek_key(1, "Alpha"));
}

TEST_F(RecordFileTest, StringKeysInBothComparisonModes) {
  RecordSchema s;
  s.fields = {field("cs", FT_STRING, 12), field("ci", FT_STRING, 12)};
  s.keys = {single_key(0, 1, 1), single_key(1, 1, 2)};
  make(s);
  for (auto n : {"beta", "Alpha", "alpha", "Beta", "_x"}) {
    ASSERT_TRUE(f_.set_field_text(n, "cs"));
    ASSERT_TRUE(f_.set_field_text(n, "ci"));
    ASSERT_TRUE(f_.insert_record());
  }
  // Case-sensitive: byte order; case-insensitive: letters folded to lower
  // case, equal texts in insertion order.
  EXPECT_EQ(walk_text("cs", 0), (std::vector<std::string>{"Alpha", "Beta", "_x", "alpha", "beta"}));
  EXPECT_EQ(walk_text("ci", 1), (std::vector<std::string>{"_x", "Alpha", "alpha", "beta", "Beta"}));
  EXPECT_FALSE(f_.seek_key(0, "BETA"));
  ASSERT_TRUE(f_.seek_key(1, "BETA"));
  EXPECT_EQ(f_.get_field_text("ci"), "beta");
  // A text longer than the key is never found.
  EXPECT_FALSE(f_.seek_key(0, "alphaalphaalpha"));
}

TEST_F(RecordFileTest, UnknownComparisonModeNeverMatches) {
  RecordSchema s;
  s.fields = {field("t", FT_STRING, 8)};
  s.keys = {single_key(0, 2, 1)};
  make(s);
  EXPECT_TRUE(f_.close());
  patch(path(), recfmt::segment_at(recfmt::kSegmentMode, 0, 0), le16(3));
  ASSERT_TRUE(f_.open(path()));
  // Every value compares smaller: each goes in front, none is ever equal,
  // so even the unique key takes "b" twice and seeking finds nothing.
  for (auto t : {"b", "a", "b"}) {
    ASSERT_TRUE(f_.set_field_text(t, "t"));
    ASSERT_TRUE(f_.insert_record()) << t;
  }
  EXPECT_EQ(walk_text("t"), (std::vector<std::string>{"b", "a", "b"}));
  EXPECT_FALSE(f_.seek_key(0, "a"));
}

TEST_F(RecordFileTest, PartialStringSegmentsAndCompositeKeys) {
  RecordSchema s;
  s.fields = {field("code", FT_STRING, 10), field("num", FT_SHORT), field("val", FT_DOUBLE),
              field("b", FT_BYTE)};
  s.keys = {single_key(0, 1, 1, 2, 3),  // bytes 2..4 of "code"
            composite_key(2, {{1, 0, 0, 0}, {0, 2, 0, 4}}),
            composite_key(1, {{3, 0, 0, 0}, {2, 0, 0, 0}})};
  make(s);
  struct Row {
    const char* code;
    int16_t num;
    double val;
    uint8_t b;
  } rows[] = {{"xxCATzz", 2, 1.5, 200}, {"aaBEEbb", -1, -3.0, 1}, {"qqANTyy", 2, 0.5, 200},
              {"ppCATss", 7, 2.5, 1}};
  for (auto& r : rows) {
    ASSERT_TRUE(f_.set_field_text(r.code, "code"));
    ASSERT_TRUE(f_.set_field(&r.num, "num"));
    ASSERT_TRUE(f_.set_field(&r.val, "val"));
    ASSERT_TRUE(f_.set_field(&r.b, "b"));
    ASSERT_TRUE(f_.insert_record()) << r.code;
  }
  EXPECT_EQ(walk_text("code", 0), (std::vector<std::string>{"qqANTyy", "aaBEEbb", "xxCATzz", "ppCATss"}));
  // (num signed, first 4 bytes of code without case)
  EXPECT_EQ(walk_text("code", 1), (std::vector<std::string>{"aaBEEbb", "qqANTyy", "xxCATzz", "ppCATss"}));
  // (b unsigned, val numerically)
  EXPECT_EQ(walk_text("code", 2), (std::vector<std::string>{"aaBEEbb", "ppCATss", "qqANTyy", "xxCATzz"}));
  ASSERT_TRUE(f_.seek_key(0, "CAT"));
  EXPECT_EQ(f_.get_field_text("code"), "xxCATzz");
  uint8_t comp[6] = {};
  int16_t two = 2;
  std::memcpy(comp, &two, 2);
  std::memcpy(comp + 2, "XXCA", 4);
  ASSERT_TRUE(f_.seek_key(1, comp));
  EXPECT_EQ(f_.get_field_text("code"), "xxCATzz");
  // The composite unique key refuses (2, "QQAN...") in other case.
  int16_t n2 = 2;
  ASSERT_TRUE(f_.set_field_text("QQanother", "code"));
  ASSERT_TRUE(f_.set_field(&n2, "num"));
  EXPECT_FALSE(f_.insert_record());
  EXPECT_EQ(f_.last_error(), "the key is unduplicated");
  EXPECT_EQ(f_.record_count(), 4);
}

TEST_F(RecordFileTest, DuplicatesWalkInInsertionOrder) {
  make_ints(1);
  ASSERT_TRUE(add_int(5, "first"));
  ASSERT_TRUE(add_int(9, "nine"));
  ASSERT_TRUE(add_int(5, "second"));
  ASSERT_TRUE(add_int(5, "third"));
  ASSERT_TRUE(add_int(1, "one"));
  EXPECT_EQ(walk_text("tag"), (std::vector<std::string>{"one", "first", "second", "third", "nine"}));
  int32_t five = 5;
  ASSERT_TRUE(f_.seek_key(0, &five));
  EXPECT_EQ(f_.get_field_text("tag"), "first");
  ASSERT_TRUE(f_.move_next(0));
  ASSERT_TRUE(f_.move_next(0));
  EXPECT_EQ(f_.get_field_text("tag"), "third");
  // Removing the chain's first entry, then a middle one while walking.
  ASSERT_TRUE(f_.seek_key(0, &five));
  ASSERT_TRUE(f_.delete_record());
  ASSERT_TRUE(f_.move_next(0));
  EXPECT_EQ(f_.get_field_text("tag"), "second");
  ASSERT_TRUE(f_.delete_record());
  ASSERT_TRUE(f_.move_next(0));
  EXPECT_EQ(f_.get_field_text("tag"), "third");
  ASSERT_TRUE(add_int(5, "fourth"));
  EXPECT_EQ(walk_text("tag"), (std::vector<std::string>{"one", "third", "fourth", "nine"}));
  ASSERT_TRUE(f_.seek_key(0, &five));
  ASSERT_TRUE(f_.delete_record());
  ASSERT_TRUE(f_.seek_key(0, &five));
  ASSERT_TRUE(f_.delete_record());
  EXPECT_FALSE(f_.seek_key(0, &five));
  ASSERT_TRUE(add_int(5, "fifth"));  // into the emptied slot
  EXPECT_EQ(walk_text("tag"), (std::vector<std::string>{"one", "fifth", "nine"}));
}

TEST_F(RecordFileTest, WalkLastEndsOnTheLastDuplicate) {
  make_ints(1);
  for (auto t : {"a", "b", "c"}) ASSERT_TRUE(add_int(3, t));
  ASSERT_TRUE(f_.move_last(0));
  EXPECT_EQ(f_.get_field_text("tag"), "c");
  EXPECT_FALSE(f_.move_next(0));
}

TEST_F(RecordFileTest, DeleteFromAnotherKeysChain) {
  RecordSchema s;
  s.fields = {field("id", FT_AUTOINC), field("grp", FT_INT)};
  s.keys = {single_key(0), single_key(1, 1)};
  make(s);
  int32_t g = 4;
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(f_.set_field(&g, "grp"));
    ASSERT_TRUE(f_.insert_record());
  }
  int32_t id = 3;
  ASSERT_TRUE(f_.seek_key(0, &id));  // current key 0; key 1 holds a chain
  ASSERT_TRUE(f_.delete_record());
  EXPECT_EQ(walk_text("id", 1), (std::vector<std::string>{"1", "2", "4"}));
  id = 1;
  ASSERT_TRUE(f_.seek_key(0, &id));
  ASSERT_TRUE(f_.delete_record());
  EXPECT_EQ(walk_text("id", 1), (std::vector<std::string>{"2", "4"}));
  ASSERT_TRUE(f_.move_last(1));
  EXPECT_EQ(f_.get_field_text("id"), "4");
}

TEST_F(RecordFileTest, WalkSkipsRemovedEntriesAcrossLeaves) {
  make_ints(2);
  for (int i = 0; i < 450; ++i) ASSERT_TRUE(add_int(i));
  for (int i = 0; i < 440; ++i) {
    int32_t v = i;
    ASSERT_TRUE(f_.seek_key(0, &v));
    ASSERT_TRUE(f_.delete_record());
  }
  EXPECT_EQ(walk_ints(), (std::vector<int32_t>{440, 441, 442, 443, 444, 445, 446, 447, 448, 449}));
  for (int i = 440; i < 449; ++i) {
    int32_t v = i;
    ASSERT_TRUE(f_.seek_key(0, &v));
    ASSERT_TRUE(f_.delete_record());
  }
  ASSERT_TRUE(f_.move_last(0));
  EXPECT_EQ(f_.get_field_text("n"), "449");
  ASSERT_TRUE(f_.delete_record());
  EXPECT_EQ(f_.record_count(), 0);
  EXPECT_FALSE(f_.move_first(0));
}

TEST_F(RecordFileTest, PackedRecordsAndFreeSpace) {
  make_ints(2, true);
  ASSERT_TRUE(add_int(1, "abcdefghij"));  // 2 + 4 + 2 + 10 = 18 bytes
  ASSERT_TRUE(add_int(2, "ab"));          // 10 bytes
  ASSERT_TRUE(add_int(3, "abcd"));        // 12 bytes
  std::string b = bytes();
  EXPECT_EQ(i16_at(b, kHeaderSize), 18);
  EXPECT_EQ(i32_at(b, kHeaderSize + 2), 1);
  EXPECT_EQ(i16_at(b, kHeaderSize + 6), 10);
  EXPECT_EQ(b.substr(kHeaderSize + 8, 10), "abcdefghij");
  ASSERT_TRUE(f_.open(path()));
  int32_t v = 1;
  ASSERT_TRUE(f_.seek_key(0, &v));
  EXPECT_EQ(f_.get_field_text("tag"), "abcdefghij");
  ASSERT_TRUE(f_.delete_record());  // free: [18 @header+0]
  v = 2;
  ASSERT_TRUE(f_.seek_key(0, &v));
  ASSERT_TRUE(f_.delete_record());  // free: [10, 18]
  EXPECT_TRUE(f_.close());
  b = file_bytes(path());
  int32_t pos2 = i32_at(b, recfmt::kFreeRecords);
  EXPECT_EQ(i32_at(b, pos2 + 2), kHeaderSize);  // link after the kept length
  EXPECT_EQ(i16_at(b, pos2), 10);
  ASSERT_TRUE(f_.open(path()));
  // 14 bytes: too long for the head (10), fits the second block (18).
  ASSERT_TRUE(add_int(4, "abcdef"));
  EXPECT_TRUE(f_.close());
  b = file_bytes(path());
  EXPECT_EQ(i32_at(b, recfmt::kFreeRecords), pos2);
  EXPECT_EQ(i32_at(b, pos2 + 2), -1);
  EXPECT_EQ(i16_at(b, kHeaderSize), 14);
  ASSERT_TRUE(f_.open(path()));
  EXPECT_EQ(walk_text("tag"), (std::vector<std::string>{"abcd", "abcdef"}));
}

TEST_F(RecordFileTest, PackedStringLongerThanFieldIsCut) {
  RecordSchema s;
  s.fields = {field("n", FT_INT), field("tag", FT_STRING, 16), field("more", FT_STRING, 16)};
  s.keys = {single_key(0)};
  s.packed = true;
  make(s);
  ASSERT_TRUE(f_.set_field_text("abcdefghijklmnop", "tag"));
  ASSERT_TRUE(f_.set_field_text("12345678", "more"));
  ASSERT_TRUE(f_.insert_record());  // 2 + 4 + 18 + 10 = 34 bytes
  EXPECT_TRUE(f_.close());
  // Stored length 20 for a 16-byte field: the text is cut when unpacked and
  // the next field is found after all 20 bytes.
  std::string rec = le16(32) + le32(0) + le16(20) + "0123456789ABCDEFGHIJ" + le16(2) + "wx";
  patch(path(), kHeaderSize, rec);
  ASSERT_TRUE(f_.open(path()));
  ASSERT_TRUE(f_.move_first(0));
  EXPECT_EQ(f_.get_field_text("tag"), "0123456789ABCDEF");
  EXPECT_EQ(f_.get_field_text("more"), "wx");
}

// --- Chained blocks ------------------------------------------------------------

class ChainTest : public RecordFileTest {
 protected:
  void SetUp() override {
    RecordSchema s;
    s.fields = {field("id", FT_INT), field("blob", FT_CHAIN)};
    s.keys = {single_key(0)};
    make(s);
  }
  // Appends n linked 16-byte blocks after everything; first block's position.
  int32_t add_chain(int n) {
    EXPECT_TRUE(f_.close());
    std::string b = file_bytes(path());
    int32_t first = int32_t(b.size());
    for (int i = 0; i < n; ++i) {
      int32_t next = i + 1 < n ? first + 16 * (i + 1) : 0;
      b += le32(next) + std::string(12, 'x');
    }
    write_bytes(path(), b);
    EXPECT_TRUE(f_.open(path()));
    return first;
  }
  bool add(int32_t id, int32_t chain) {
    uint8_t img[12] = {};
    std::memcpy(img, &id, 4);
    std::memcpy(img + 4, &chain, 4);
    return f_.insert_record(img, 12);
  }
};

TEST_F(ChainTest, DeleteFreesTheChain) {
  int32_t c1 = add_chain(3);
  int32_t c2 = add_chain(2);
  ASSERT_TRUE(add(1, c1));
  ASSERT_TRUE(add(2, c2));
  int32_t id = 1;
  ASSERT_TRUE(f_.seek_key(0, &id));
  ASSERT_TRUE(f_.delete_record());
  id = 2;
  ASSERT_TRUE(f_.seek_key(0, &id));
  ASSERT_TRUE(f_.delete_record());
  std::string b = bytes();
  // List: c2 -> c2+16 -> c1 -> c1+16 -> c1+32 -> -1
  EXPECT_EQ(i32_at(b, recfmt::kFreeChains), c2);
  EXPECT_EQ(i32_at(b, c2 + 16), c1);
  EXPECT_EQ(i32_at(b, c1 + 32), -1);
}

TEST_F(ChainTest, UpdateFreesOnlyAReplacedChain) {
  int32_t c1 = add_chain(1);
  int32_t c2 = add_chain(1);
  ASSERT_TRUE(add(1, c1));
  int32_t id = 1;
  ASSERT_TRUE(f_.seek_key(0, &id));
  ASSERT_TRUE(f_.update_record());  // same reference: kept
  ASSERT_TRUE(f_.seek_key(0, &id));
  uint8_t img[12] = {};
  std::memcpy(img, &id, 4);
  std::memcpy(img + 4, &c2, 4);
  ASSERT_TRUE(f_.update_record(img, 12));
  std::string b = bytes();
  EXPECT_EQ(i32_at(b, recfmt::kFreeChains), c1);
  EXPECT_EQ(i32_at(b, c1), -1);
}

TEST_F(ChainTest, ChainFieldNotSetIsClearedOnInsert) {
  int32_t c1 = add_chain(1);
  ASSERT_TRUE(add(1, c1));
  int32_t id = 1;
  ASSERT_TRUE(f_.seek_key(0, &id));
  // Insert through the edit record (which holds the read chain reference):
  // the reference was not set, so it is cleared.
  id = 2;
  ASSERT_TRUE(f_.set_field(&id, "id"));
  ASSERT_TRUE(f_.insert_record());
  ASSERT_TRUE(f_.seek_key(0, &id));
  uint8_t img[12];
  ASSERT_TRUE(f_.read_current(img));
  EXPECT_EQ(i32_at(std::string(reinterpret_cast<char*>(img), 12), 4), 0);
}

TEST_F(ChainTest, OverlongOrLoopingChainIsLeftAlone) {
  int32_t c = add_chain(1001);
  ASSERT_TRUE(add(1, c));
  EXPECT_TRUE(f_.close());
  patch(path(), c + 16 * 1000, le32(c));  // and it loops back
  ASSERT_TRUE(f_.open(path()));
  int32_t id = 1;
  ASSERT_TRUE(f_.seek_key(0, &id));
  EXPECT_FALSE(f_.delete_record());
  EXPECT_FALSE(f_.seek_key(0, &id));  // the record itself is gone
  std::string b = bytes();
  EXPECT_EQ(i32_at(b, recfmt::kFreeChains), -1);
  EXPECT_EQ(i32_at(b, recfmt::kRecordCount), 0);
}

// --- The key tree --------------------------------------------------------------

TEST_F(RecordFileTest, TwoHundredAndOneAscendingInsertsSplitTheLeaf) {
  make_ints(2);
  for (int i = 1; i <= 201; ++i) ASSERT_TRUE(add_int(i));
  std::vector<int32_t> want;
  for (int i = 1; i <= 201; ++i) want.push_back(i);
  EXPECT_EQ(walk_ints(), want);
  std::string b = bytes();
  NodeView root{&b, i32_at(b, recfmt::kRoot)};
  ASSERT_EQ(root.count(), 2);
  EXPECT_EQ(root.parent(), -1);
  EXPECT_EQ(root.self(), root.at);
  NodeView left{&b, root.child(0)}, right{&b, root.child(1)};
  EXPECT_EQ(left.count(), 100);
  EXPECT_EQ(right.count(), 101);
  EXPECT_EQ(root.int_key(0), 100);
  EXPECT_EQ(root.int_key(1), 201);
  EXPECT_EQ(left.child(0), -1);
  EXPECT_EQ(left.parent(), root.at);
  EXPECT_EQ(right.parent(), root.at);
  EXPECT_EQ(left.next(), right.at);
  EXPECT_EQ(right.prev(), left.at);
  EXPECT_EQ(left.prev(), -1);
  EXPECT_EQ(right.next(), -1);
  EXPECT_EQ(i32_at(b, recfmt::kFirstLeaf), left.at);
  EXPECT_EQ(i32_at(b, recfmt::kLastLeaf), right.at);
  EXPECT_EQ(right.int_key(0), 101);
  EXPECT_EQ(right.child(101), -1);  // unused slot
  EXPECT_EQ(left.rec(100), -1);     // cleared by the split

  // A value above every stored one raises the root's maximum and goes last.
  ASSERT_TRUE(f_.open(path()));
  ASSERT_TRUE(add_int(1000));
  b = bytes();
  NodeView root2{&b, i32_at(b, recfmt::kRoot)};
  EXPECT_EQ(root2.at, root.at);
  EXPECT_EQ(root2.int_key(1), 1000);
  NodeView right2{&b, right.at};
  EXPECT_EQ(right2.count(), 102);
  EXPECT_EQ(right2.int_key(101), 1000);
}

TEST_F(RecordFileTest, ManySplitsKeepOrderAndStructure) {
  make_ints(2);
  // Descending and interleaved inserts through several levels.
  std::vector<int32_t> want;
  for (int i = 0; i < 50000; ++i) {
    int32_t v = int32_t((i * 7919L) % 50000);
    ASSERT_TRUE(add_int(v));
    want.push_back(v);
  }
  std::sort(want.begin(), want.end());
  EXPECT_EQ(walk_ints(), want);
  std::string b = bytes();
  // Every inner node's key is the largest key below it; parents agree.
  std::vector<int32_t> level{i32_at(b, recfmt::kRoot)};
  int depth = 0;
  while (NodeView{&b, level[0]}.child(0) != -1) {
    std::vector<int32_t> below;
    for (int32_t at : level) {
      NodeView n{&b, at};
      for (int i = 0; i < n.count(); ++i) {
        NodeView c{&b, n.child(i)};
        ASSERT_EQ(c.parent(), at);
        NodeView last = c;
        while (last.child(0) != -1) last = NodeView{&b, last.child(last.count() - 1)};
        ASSERT_EQ(n.int_key(i), last.int_key(last.count() - 1));
        below.push_back(c.at);
      }
    }
    level = below;
    ++depth;
  }
  EXPECT_GE(depth, 2);
  ASSERT_TRUE(f_.open(path()));
  for (int32_t v : {0, 49999, 12345, -1, 50000}) {
    bool present = v >= 0 && v < 50000;
    EXPECT_EQ(f_.seek_key(0, &v), present) << v;
  }
}

// --- Exact bytes -----------------------------------------------------------------

TEST_F(RecordFileTest, HeaderFieldsAtTheirOffsets) {
  RecordSchema s;
  s.fields = {field("id", FT_AUTOINC), field("name", FT_STRING, 64)};
  s.keys = {single_key(0), single_key(1, 1, 2, 4, 10)};
  make(s);
  EXPECT_TRUE(f_.close());
  std::string b = file_bytes(path());
  ASSERT_EQ(b.size(), std::size_t(kHeaderSize));
  EXPECT_EQ(i32_at(b, 32), 68);
  EXPECT_EQ(i32_at(b, 36), 0);
  EXPECT_EQ(b.substr(40, 3), std::string("id\0", 3));
  EXPECT_EQ(b.substr(72, 5), std::string("name\0", 5));
  EXPECT_EQ(i16_at(b, 4136), FT_AUTOINC);
  EXPECT_EQ(i16_at(b, 4138), FT_STRING);
  EXPECT_EQ(i16_at(b, 4392), 4);
  EXPECT_EQ(i16_at(b, 4394), 64);
  EXPECT_EQ(i16_at(b, 4648), 2);
  EXPECT_EQ(i16_at(b, 4970), 2);
  EXPECT_EQ(i16_at(b, 4972), 1);
  EXPECT_EQ(i16_at(b, 4990 + 256), 1);            // key 1, segment 0: field 1
  EXPECT_EQ(i16_at(b, 7550 + 256), 2);            // mode
  EXPECT_EQ(i16_at(b, 10110 + 256), 4);           // start
  EXPECT_EQ(i16_at(b, 12670 + 256), 10);          // length
  EXPECT_EQ(i16_at(b, 15230), -1);
  EXPECT_EQ(i16_at(b, 15250), 2);
  for (int k = 0; k < 10; ++k) {
    EXPECT_EQ(i32_at(b, 15252 + 4 * k), -1);
    EXPECT_EQ(i32_at(b, 15292 + 4 * k), -1);
    EXPECT_EQ(i32_at(b, 15332 + 4 * k), -1);
  }
  EXPECT_EQ(i32_at(b, 15372), -1);
  EXPECT_EQ(i32_at(b, 15376), -1);
  EXPECT_EQ(i16_at(b, 15380), -1);
  EXPECT_EQ(i32_at(b, 15452), -1);
  EXPECT_EQ(b.substr(0, 32), std::string(32, '\0'));
  EXPECT_EQ(b.substr(15382, 70), std::string(70, '\0'));

  // Preserved areas survive a change; counts and roots are written at close.
  patch(path(), 0, "made elsewhere");
  patch(path(), 15382, "note");
  ASSERT_TRUE(f_.open(path()));
  ASSERT_TRUE(f_.set_field_text("xxxxhello", "name"));
  ASSERT_TRUE(f_.insert_record());
  b = bytes();
  EXPECT_EQ(b.substr(0, 14), "made elsewhere");
  EXPECT_EQ(b.substr(15382, 4), "note");
  EXPECT_EQ(i32_at(b, 36), 1);
  EXPECT_EQ(i32_at(b, kHeaderSize), 1);                          // the record: id 1
  EXPECT_EQ(i32_at(b, 15252), kHeaderSize + 68);                 // key 0 leaf after it
  EXPECT_EQ(i32_at(b, 15256), kHeaderSize + 68 + 2432);          // key 1 leaf
  EXPECT_EQ(i32_at(b, 15292 + 4), i32_at(b, 15256));
  EXPECT_EQ(i32_at(b, 15332 + 4), i32_at(b, 15256));
  // The partial string key holds 10 bytes from offset 4 and a zero.
  EXPECT_EQ(b.substr(std::size_t(i32_at(b, 15256)) + 1632, 11), std::string("hello\0\0\0\0\0\0", 11));
}

TEST_F(RecordFileTest, NodeSizesPerKeyKind) {
  RecordSchema s;
  s.fields = {field("b", FT_BYTE), field("s", FT_SHORT), field("i", FT_INT), field("f", FT_FLOAT),
              field("d", FT_DOUBLE), field("t", FT_STRING, 20), field("a", FT_AUTOINC)};
  s.keys = {single_key(6),       single_key(0, 1),     single_key(1, 1),
            single_key(2, 1),    single_key(3, 1),     single_key(4, 1),
            single_key(5, 1, 1, 0, 10),
            composite_key(1, {{1, 0, 0, 0}, {5, 1, 0, 5}})};
  make(s);
  int32_t i = 0x01020304;
  double d = 2.5;
  ASSERT_TRUE(f_.set_field(&i, "i"));
  ASSERT_TRUE(f_.set_field(&d, "d"));
  ASSERT_TRUE(f_.set_field_text("abcdefghijklmnopqrst", "t"));
  ASSERT_TRUE(f_.insert_record());
  std::string b = bytes();
  const int reclen = 1 + 2 + 4 + 4 + 8 + 20 + 4;
  const int sizes[] = {2432, 1832, 2032, 2432, 2432, 3240, 1632 + 201 * 11, 1632 + 201 * 8};
  int32_t at = kHeaderSize + reclen;
  for (int k = 0; k < 8; ++k) {
    NodeView n{&b, i32_at(b, recfmt::kRoot + 4 * k)};
    EXPECT_EQ(n.at, at) << "key " << k;
    EXPECT_EQ(n.count(), 1);
    EXPECT_EQ(n.self(), at);
    EXPECT_EQ(n.child(0), -1);
    EXPECT_EQ(n.rec(0), kHeaderSize);
    EXPECT_EQ(n.parent(), -1);
    EXPECT_EQ(n.prev(), -1);
    EXPECT_EQ(n.next(), -1);
    at += sizes[k];
  }
  EXPECT_EQ(b.size(), std::size_t(at));
  int32_t ikey = i32_at(b, recfmt::kRoot + 12);
  EXPECT_EQ(i32_at(b, ikey + 1628), 0x01020304);
  int32_t dkey = i32_at(b, recfmt::kRoot + 20);
  EXPECT_EQ(i32_at(b, dkey + 1628), 0);  // not interpreted, written zero
  double dk;
  std::memcpy(&dk, b.data() + dkey + 1632, 8);
  EXPECT_EQ(dk, 2.5);
  int32_t ckey = i32_at(b, recfmt::kRoot + 28);
  EXPECT_EQ(b.substr(std::size_t(ckey) + 1632, 8), std::string("\0\0abcde\0", 8));
}

TEST_F(RecordFileTest, DuplicateEntriesAreExact) {
  make_ints(1);
  ASSERT_TRUE(add_int(7, "a"));  // record at header, leaf after it
  ASSERT_TRUE(add_int(7, "b"));  // record, then two entries
  ASSERT_TRUE(add_int(7, "c"));  // record, then one entry
  std::string b = bytes();
  const int32_t r1 = kHeaderSize, leaf = r1 + 20, r2 = leaf + 2432, e1 = r2 + 20, e2 = e1 + 24,
                r3 = e2 + 24, e3 = r3 + 20;
  ASSERT_EQ(b.size(), std::size_t(e3 + 24));
  EXPECT_EQ(i32_at(b, leaf + recfmt::kNodeRecords), e1);
  auto entry = [&](int32_t at) { return b.substr(std::size_t(at), 24); };
  std::string tag("fDUPKEY\0", 8);
  EXPECT_EQ(entry(e1), tag + le32(r1) + le32(e2) + le32(-1) + le32(e3));
  EXPECT_EQ(entry(e2), tag + le32(r2) + le32(e3) + le32(e1) + le32(-1));
  EXPECT_EQ(entry(e3), tag + le32(r3) + le32(-1) + le32(e2) + le32(-1));

  // Deleting the walked-to middle record frees its entry onto the list;
  // a new duplicate takes that space.
  ASSERT_TRUE(f_.open(path()));
  ASSERT_TRUE(f_.move_first(0));
  ASSERT_TRUE(f_.move_next(0));
  ASSERT_TRUE(f_.delete_record());
  b = bytes();
  EXPECT_EQ(i32_at(b, recfmt::kFreeDuplicates), e2);
  EXPECT_EQ(i32_at(b, e2), -1);
  EXPECT_EQ(i32_at(b, e1 + 12), e3);
  EXPECT_EQ(i32_at(b, e3 + 16), e1);
  EXPECT_EQ(i32_at(b, recfmt::kFreeRecords), r2);
  ASSERT_TRUE(f_.open(path()));
  ASSERT_TRUE(add_int(7, "d"));
  b = bytes();
  EXPECT_EQ(i32_at(b, recfmt::kFreeDuplicates), -1);
  EXPECT_EQ(entry(e2), tag + le32(r2) + le32(-1) + le32(e3) + le32(-1));
  EXPECT_EQ(i32_at(b, e1 + 20), e2);
  ASSERT_TRUE(f_.open(path()));
  EXPECT_EQ(walk_text("tag"), (std::vector<std::string>{"a", "c", "d"}));
}

// --- Error paths -----------------------------------------------------------------

TEST_F(RecordFileTest, ErrorTexts) {
  EXPECT_FALSE(f_.open(dir_.path() + "missing.sdb"));
  EXPECT_EQ(f_.last_error(), "file can't be  opened!");
  EXPECT_EQ(f_.record_count(), -1);
  EXPECT_FALSE(f_.insert_record());
  EXPECT_FALSE(f_.delete_record());
  EXPECT_FALSE(f_.update_record());
  EXPECT_EQ(f_.last_id(), 0);
  EXPECT_EQ(f_.field_index("id"), -1);
  EXPECT_EQ(f_.get_field_text(0), "");

  make_rooms();
  EXPECT_FALSE(f_.delete_record());
  EXPECT_EQ(f_.last_error(), "Can't locate a record  ");
  ASSERT_TRUE(add_room("x"));
  EXPECT_FALSE(f_.update_record());
  EXPECT_EQ(f_.last_error(), "current key invalid");
  EXPECT_FALSE(f_.seek_key(1, "x"));
  EXPECT_FALSE(f_.move_first(1));
  EXPECT_FALSE(f_.move_next(0));  // no walk yet
  int32_t id = 1;
  ASSERT_TRUE(f_.seek_key(0, &id));
  ASSERT_TRUE(f_.delete_record());
  EXPECT_FALSE(f_.delete_record());  // the position is gone
  EXPECT_FALSE(f_.update_record());  // and the table empty
}

TEST_F(RecordFileTest, FileWithoutKeys) {
  RecordSchema s;
  s.fields = {field("x", FT_INT)};
  make_rooms();
  EXPECT_TRUE(f_.close());
  Reason err;
  ASSERT_TRUE(create_record_file(path(), s, err)) << err.text;
  EXPECT_FALSE(f_.open(path()));
  EXPECT_EQ(f_.last_error(), "key not found");
  EXPECT_EQ(f_.record_count(), 0);  // still open
  EXPECT_FALSE(f_.insert_record());
  EXPECT_EQ(f_.last_error(), "key not found");
  EXPECT_FALSE(f_.move_first(0));
  EXPECT_TRUE(f_.close());
  EXPECT_EQ(f_.record_count(), -1);
}

TEST_F(RecordFileTest, SchemaChecks) {
  Reason err;
  RecordSchema s;
  EXPECT_FALSE(create_record_file(path(), s, err));
  EXPECT_EQ(err.text, "a record file needs 1 to 128 fields");
  s.fields = {field("a", FT_STRING, 200), field("b", FT_CHAIN)};
  s.keys = {composite_key(2, {{0, 1, 0, 100}, {0, 1, 100, 100}})};
  EXPECT_FALSE(create_record_file(path(), s, err));
  EXPECT_EQ(err.text, "key 0: longer than 128 bytes");
  s.keys = {single_key(1)};
  EXPECT_FALSE(create_record_file(path(), s, err));
  EXPECT_EQ(err.text, "key 0: chain fields cannot be keyed");
  s.keys = {single_key(0, 3)};
  EXPECT_FALSE(create_record_file(path(), s, err));
  EXPECT_EQ(err.text, "key 0: duplicate mode must be 1 or 2");
  s.keys = {single_key(0, 1, 1, 150, 60)};
  EXPECT_FALSE(create_record_file(path(), s, err));
  EXPECT_EQ(err.text, "key 0: segment outside field \"a\"");
  s.keys = {single_key(0, 1, 1, 150, 0)};
  EXPECT_TRUE(create_record_file(path(), s, err)) << err.text;
  EXPECT_EQ(err.text, "key 0: segment outside field \"a\"");  // success leaves it alone
}

}  // namespace
}  // namespace tvl
