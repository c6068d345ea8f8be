// The record-file tool: its text list, the printed dump, the program itself,
// and the rooms.sdb the build makes from site/rooms.txt.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "storage/record_file.h"
#include "storage/record_text.h"
#include "storage/room_store.h"
#include "tests/record_file_helpers.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

using namespace rft;

const char kList[] =
    "# a comment\n"
    "format packed\n"
    "field id autoinc\n"
    "field name string 16\n"
    "field score double\n"
    "field flag byte\n"
    "key unique id\n"
    "key duplicate composite flag name:nocase:0:4\n"
    "key unique name:case\n"
    "\n"
    "record name=\"Zed \\\"z\\\"\" score=1.5 flag=1\n"
    "record name=alpha flag=0\n"
    "   record name=Beta score=-2 flag=7\n";

TEST(RecordTextTest, ParsesSchemaAndRecords) {
  RecordText t;
  Reason err;
  ASSERT_TRUE(parse_record_text(kList, t, err)) << err.text;
  EXPECT_TRUE(t.has_schema);
  EXPECT_TRUE(t.schema.packed);
  ASSERT_EQ(t.schema.fields.size(), 4u);
  EXPECT_EQ(t.schema.fields[1].type, FT_STRING);
  EXPECT_EQ(t.schema.fields[1].size, 16);
  ASSERT_EQ(t.schema.keys.size(), 3u);
  EXPECT_FALSE(t.schema.keys[0].composite);
  EXPECT_EQ(t.schema.keys[1].duplicate_mode, 1);
  ASSERT_EQ(t.schema.keys[1].segments.size(), 2u);
  EXPECT_EQ(t.schema.keys[1].segments[1].field, 1);
  EXPECT_EQ(t.schema.keys[1].segments[1].mode, 2);
  EXPECT_EQ(t.schema.keys[1].segments[1].length, 4);
  EXPECT_EQ(t.schema.keys[2].segments[0].mode, 1);
  ASSERT_EQ(t.records.size(), 3u);
  EXPECT_EQ(t.records[0][0], (std::pair<std::string, std::string>("name", "Zed \"z\"")));
  EXPECT_EQ(t.records[2][2].second, "7");
}

TEST(RecordTextTest, FaultsNameTheirLine) {
  struct {
    const char* text;
    const char* error;
  } rows[] = {
      {"field a strung 4\n", "line 1: unknown type \"strung\""},
      {"field a int\nfield a int\n", "line 2: field \"a\" twice"},
      {"field a int\nkey unique b\n", "line 2: unknown field \"b\" in key"},
      {"field a int\nfield b int\nkey unique a b\n", "line 3: a key of several segments needs \"composite\""},
      {"field a int\nkey sometimes a\n", "line 2: key <unique|duplicate> [composite] <segment> ..."},
      {"record a=\"open\n", "line 1: unterminated quote"},
      {"record a\n", "line 1: record values are <field>=<value>"},
      {"format wide\n", "line 1: format is fixed or packed"},
      {"frobnicate\n", "line 1: unknown line \"frobnicate\""},
      {"field s string 8\nkey unique s:case:x\n", "line 2: bad start in \"s:case:x\""},
  };
  for (auto& r : rows) {
    RecordText t;
    Reason err;
    EXPECT_FALSE(parse_record_text(r.text, t, err)) << r.text;
    EXPECT_EQ(err.text, r.error) << r.text;
  }
}

TEST(RecordTextTest, CreatesFillsAndDumpsInKeyOrder) {
  test::TempDir dir;
  std::string path = dir.path() + "x.sdb";
  Reason create_err;
  Reason err;
  RecordText t;
  ASSERT_TRUE(parse_record_text(kList, t, err)) << err.text;
  ASSERT_TRUE(create_record_file(path, t.schema, create_err)) << create_err.text;
  RecordFile f;
  ASSERT_TRUE(f.open(path));
  ASSERT_TRUE(insert_text_records(f, t, err)) << err.text;
  // A second "alpha" clashes on the unique case-sensitive name key.
  RecordText again;
  ASSERT_TRUE(parse_record_text("record name=alpha\n", again, err));
  EXPECT_FALSE(insert_text_records(f, again, err));
  EXPECT_EQ(err.text, "record 1: the key is unduplicated");
  ASSERT_TRUE(parse_record_text("record nosuch=1\n", again, err));
  EXPECT_FALSE(insert_text_records(f, again, err));
  EXPECT_EQ(err.text, "record 1: cannot set field \"nosuch\"");
  EXPECT_TRUE(f.close());

  std::string out;
  ASSERT_TRUE(dump_record_file(path, 1, out, err)) << err.text;
  EXPECT_NE(out.find("records: 3\nformat: packed\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  1 name string 16\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  1 duplicate composite flag name:nocase:0:4"), std::string::npos) << out;
  // Key 1: (flag, first 4 letters without case).
  const std::string rows =
      "records in the order of key 1:\n"
      "  id=2 name=\"alpha\" score=0.00000000000000 flag=0\n"
      "  id=3 name=\"Beta\" score=-2.00000000000000 flag=1\n"
      "  id=1 name=\"Zed \\\"z\\\"\" score=1.50000000000000 flag=1\n";
  EXPECT_NE(out.find(rows), std::string::npos) << out;
  EXPECT_FALSE(dump_record_file(dir.path() + "none.sdb", 0, out, err));
}

// Runs a shell command line; its standard output and exit status.
int run(const std::string& cmd, std::string& out) {
  out.clear();
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

const std::string kTool = std::string(TAVELLA_DIST_DIR) + "/../tools/sdbtool";

TEST(SdbToolTest, ProgramCreatesAddsAndDumps) {
  test::TempDir dir;
  dir.write("list.txt", "field id autoinc\nfield name string 8\nkey unique id\nrecord name=one\n");
  dir.write("more.txt", "record name=two\n");
  std::string out, f = dir.path() + "t.sdb";
  ASSERT_EQ(run(kTool + " --help", out), 0);
  EXPECT_NE(out.find("sdbtool create"), std::string::npos);
  ASSERT_EQ(run(kTool + " create " + f + " " + dir.path() + "list.txt", out), 0);
  ASSERT_EQ(run(kTool + " add " + f + " " + dir.path() + "more.txt", out), 0);
  ASSERT_EQ(run(kTool + " dump " + f, out), 0);
  EXPECT_NE(out.find("  id=1 name=\"one\"\n  id=2 name=\"two\"\n"), std::string::npos) << out;
  EXPECT_EQ(run(kTool + " add " + f + " " + dir.path() + "missing.txt 2>/dev/null", out), 1);
  EXPECT_EQ(run(kTool + " dump " + dir.path() + "missing.sdb 2>/dev/null", out), 1);
  EXPECT_EQ(run(kTool + " 2>/dev/null", out), 2);
}

TEST(SdbToolTest, BuiltRoomFileHoldsTheThreeRooms) {
  std::vector<RoomInfo> rooms;
  ASSERT_TRUE(read_rooms(std::string(TAVELLA_DIST_DIR) + "/", rooms));
  ASSERT_EQ(rooms.size(), 3u);
  EXPECT_STREQ(rooms[0].name, "Lobby");
  EXPECT_TRUE(rooms[0].guest);
  EXPECT_FALSE(rooms[0].admin_only);
  EXPECT_STREQ(rooms[1].name, "Members");
  EXPECT_FALSE(rooms[1].guest);
  EXPECT_FALSE(rooms[1].admin_only);
  EXPECT_STREQ(rooms[2].name, "Staff");
  EXPECT_FALSE(rooms[2].guest);
  EXPECT_TRUE(rooms[2].admin_only);
  EXPECT_STREQ(rooms[2].admin, "admin");
  // Key 0 is unique on the autoincrement field "id".
  RecordFile f;
  ASSERT_TRUE(f.open(std::string(TAVELLA_DIST_DIR) + "/rooms.sdb"));
  EXPECT_EQ(f.field_type(0), FT_AUTOINC);
  EXPECT_EQ(f.field_index("id"), 0);
  EXPECT_EQ(f.last_id(), 3);
  std::string hdr = file_bytes(std::string(TAVELLA_DIST_DIR) + "/rooms.sdb").substr(0, recfmt::kHeaderSize);
  EXPECT_EQ(i16_at(hdr, recfmt::kDuplicateMode), 2);
  EXPECT_EQ(i16_at(hdr, recfmt::kSegmentCount), -1);
}

}  // namespace
}  // namespace tvl
