// Damaged record files: truncated headers and nodes, counts above 200,
// positions before the records or past the end, chains and leaves that loop.
// The engine fails the operation, never crashes, never hangs (every walk is
// bounded by what the file's size allows) and never writes when the
// operation that met the damage fails.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "storage/record_file.h"
#include "storage/record_file_create.h"
#include "storage/room_store.h"
#include "tests/record_file_helpers.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

using namespace rft;
using namespace recfmt;

// Far more steps than any walk of the test files can honestly take.
constexpr long kHang = 200000;

struct Outcome {
  bool opened = false;
  bool first = false;
  long walked = 0;  // records seen walking key 0
  bool last = false;
  bool seek_low = false, seek_high = false;
  long walked1 = 0;  // records seen walking key 1 (duplicate chains)
  bool last1 = false;
  bool seek1 = false;
};

class CorruptFileTest : public ::testing::Test {
 protected:
  // 450 records: "id" 0..449 (key 0 unique, three leaves under a root) and
  // "grp" id % 3 (key 1, duplicates: one leaf of three chains of 150).
  void SetUp() override {
    RecordSchema s;
    s.fields = {field("id", FT_INT), field("grp", FT_INT)};
    s.keys = {single_key(0, 2), single_key(1, 1)};
    path_ = dir_.path() + "c.sdb";
    Reason err;
    ASSERT_TRUE(create_record_file(path_, s, err)) << err.text;
    RecordFile f;
    ASSERT_TRUE(f.open(path_));
    for (int32_t i = 0; i < 450; ++i) {
      int32_t g = i % 3;
      f.set_field(&i, "id");
      f.set_field(&g, "grp");
      ASSERT_TRUE(f.insert_record());
    }
    EXPECT_TRUE(f.close());
    good_ = file_bytes(path_);
    root0_ = i32_at(good_, kRoot);
    first0_ = i32_at(good_, kFirstLeaf);
    last0_ = i32_at(good_, kLastLeaf);
    leaf1_ = i32_at(good_, kRoot + 4);
    ASSERT_GE(NodeView({&good_, root0_}).count(), 3);
    ASSERT_EQ(NodeView({&good_, leaf1_}).count(), 3);
    chain0_ = NodeView{&good_, leaf1_}.rec(0);
    ASSERT_EQ(good_.substr(std::size_t(chain0_), 7), "fDUPKEY");
  }

  // Writes the damaged file: the good bytes with a change.
  void damage(const std::function<void(std::string&)>& change) {
    bad_ = good_;
    change(bad_);
    write_bytes(path_, bad_);
  }
  static void put32(std::string& b, long at, int32_t v) { b.replace(std::size_t(at), 4, le32(v)); }

  // Read-only operations on the damaged file; then the file must be as it
  // was written.
  Outcome read_all() {
    Outcome o;
    RecordFile f;
    o.opened = f.open(path_);
    if (o.opened) {
      o.first = f.move_first(0);
      for (bool ok = o.first; ok && o.walked < kHang; ok = f.move_next(0)) ++o.walked;
      o.last = f.move_last(0);
      int32_t low = 1, high = 440;
      o.seek_low = f.seek_key(0, &low);
      o.seek_high = f.seek_key(0, &high);
      for (bool ok = f.move_first(1); ok && o.walked1 < kHang; ok = f.move_next(1)) ++o.walked1;
      o.last1 = f.move_last(1);
      int32_t g = 0;
      o.seek1 = f.seek_key(1, &g);
    }
    EXPECT_TRUE(f.close());
    EXPECT_EQ(file_bytes(path_), bad_) << "a read changed the file";
    EXPECT_LT(o.walked, kHang);
    EXPECT_LT(o.walked1, kHang);
    return o;
  }

  // Inserts a record; when that fails, the file must be unchanged.
  bool insert(int32_t id, int32_t grp) {
    RecordFile f;
    if (!f.open(path_)) return false;
    f.set_field(&id, "id");
    f.set_field(&grp, "grp");
    bool ok = f.insert_record();
    EXPECT_TRUE(f.close());
    if (!ok) {
      EXPECT_EQ(file_bytes(path_), bad_) << "a failed insert wrote";
    }
    return ok;
  }

  // Deletes and updates for crash-freedom only; results are not asserted.
  void churn() {
    RecordFile f;
    if (!f.open(path_)) return;
    for (int32_t id : {0, 1, 200, 449}) {
      if (f.seek_key(0, &id)) f.delete_record();
    }
    int32_t id = 300;
    if (f.seek_key(0, &id)) f.update_record();
    for (int i = 0; i < 20 && f.move_first(1); ++i) f.delete_record();
    EXPECT_TRUE(f.close());
  }

  test::TempDir dir_;
  std::string path_, good_, bad_;
  int32_t root0_ = 0, first0_ = 0, last0_ = 0, leaf1_ = 0, chain0_ = 0;
};

TEST_F(CorruptFileTest, IntactFileForComparison) {
  damage([](std::string&) {});
  Outcome o = read_all();
  EXPECT_TRUE(o.first && o.last && o.seek_low && o.seek_high && o.last1 && o.seek1);
  EXPECT_EQ(o.walked, 450);
  EXPECT_EQ(o.walked1, 450);
  EXPECT_TRUE(insert(1000, 1));
}

// --- Headers -----------------------------------------------------------------

TEST_F(CorruptFileTest, DamagedHeadersDoNotOpen) {
  struct {
    const char* what;
    std::function<void(std::string&)> change;
  } cases[] = {
      {"cut header", [](std::string& b) { b.resize(15000); }},
      {"empty file", [](std::string& b) { b.clear(); }},
      {"300 fields", [](std::string& b) { b.replace(kFieldCount, 2, le16(300)); }},
      {"negative field count", [](std::string& b) { b.replace(kFieldCount, 2, le16(-1)); }},
      {"11 keys", [](std::string& b) { b.replace(kKeyCount, 2, le16(11)); }},
      {"record length below the fields", [](std::string& b) { b.replace(kRecordLength, 4, le32(5)); }},
      {"negative field size", [](std::string& b) { b.replace(kFieldSizes, 2, le16(-4)); }},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    damage(c.change);
    RecordFile f;
    EXPECT_FALSE(f.open(path_));
    EXPECT_EQ(f.last_error(), "file can't be  opened!");
    EXPECT_EQ(f.record_count(), -1);
    EXPECT_FALSE(insert(1000, 1));
  }
}

TEST_F(CorruptFileTest, UnusableKeyDefinitionFailsOnlyThatKey) {
  damage([](std::string& b) { b.replace(segment_at(kSegmentField, 1, 0), 2, le16(9)); });
  Outcome o = read_all();
  EXPECT_TRUE(o.opened);
  EXPECT_EQ(o.walked, 450);
  EXPECT_EQ(o.walked1, 0);
  EXPECT_FALSE(o.seek1);
  EXPECT_FALSE(insert(1000, 1));  // every key must take the record
}

// --- Roots and nodes -----------------------------------------------------------

TEST_F(CorruptFileTest, RootOutsideTheRecordsArea) {
  for (int32_t root : {int32_t(good_.size()) + 1000, int32_t(good_.size()) - 10, -7, 100, 0}) {
    SCOPED_TRACE(root);
    damage([&](std::string& b) { put32(b, kRoot, root); });
    Outcome o = read_all();
    EXPECT_TRUE(o.first);  // the leaf chain is intact
    EXPECT_EQ(o.walked, 450);
    EXPECT_FALSE(o.seek_low);
    EXPECT_FALSE(o.seek_high);
    EXPECT_FALSE(insert(1000, 1));
    churn();
  }
}

TEST_F(CorruptFileTest, NodeCountsOutsideOneTo200) {
  for (int32_t count : {201, 5000, 0, -3}) {
    SCOPED_TRACE(count);
    damage([&](std::string& b) { put32(b, first0_ + kNodeCount, count); });
    Outcome o = read_all();
    EXPECT_FALSE(o.first);
    EXPECT_FALSE(o.seek_low);
    EXPECT_TRUE(o.seek_high);  // another leaf
    EXPECT_FALSE(insert(-5, 1));
    damage([&](std::string& b) { put32(b, root0_ + kNodeCount, count); });
    o = read_all();
    EXPECT_FALSE(o.seek_low);
    EXPECT_FALSE(o.seek_high);
    EXPECT_FALSE(insert(1000, 1));
    churn();
  }
}

TEST_F(CorruptFileTest, TruncatedNode) {
  damage([&](std::string& b) { b.resize(std::size_t(last0_) + 1000); });
  Outcome o = read_all();
  EXPECT_FALSE(o.last);
  EXPECT_FALSE(o.seek_high);
  EXPECT_LT(o.walked, 450);
  EXPECT_FALSE(insert(1000, 1));
  churn();
}

TEST_F(CorruptFileTest, OwnPositionFieldDisagrees) {
  damage([&](std::string& b) { put32(b, first0_ + kNodeSelf, first0_ + 8); });
  Outcome o = read_all();
  EXPECT_FALSE(o.first);
  EXPECT_FALSE(o.seek_low);
  EXPECT_TRUE(o.seek_high);
}

TEST_F(CorruptFileTest, InnerNodeLoopsBackToTheRoot) {
  damage([&](std::string& b) {
    NodeView r{&b, root0_};
    for (int i = 0; i < r.count(); ++i) put32(b, root0_ + kNodeChildren + 4 * i, root0_);
  });
  Outcome o = read_all();
  EXPECT_FALSE(o.seek_low);
  EXPECT_FALSE(o.seek_high);
  EXPECT_FALSE(insert(1000, 1));
  EXPECT_FALSE(insert(-5, 1));
  churn();
}

TEST_F(CorruptFileTest, LeavesThatLoop) {
  // The last leaf leads back to the first; the first back to the last.
  damage([&](std::string& b) {
    put32(b, last0_ + kNodeNext, first0_);
    put32(b, first0_ + kNodePrev, last0_);
  });
  Outcome o = read_all();
  EXPECT_TRUE(o.first);
  EXPECT_GE(o.walked, 450);  // goes round a bounded number of times, then stops
  // A leaf that is its own successor, with every entry removed.
  damage([&](std::string& b) {
    put32(b, first0_ + kNodeNext, first0_);
    NodeView l{&b, first0_};
    for (int i = 0; i < l.count(); ++i) put32(b, first0_ + kNodeRecords + 4 * i, -1);
  });
  o = read_all();
  EXPECT_FALSE(o.first);
  churn();
}

// --- Records and duplicate entries ---------------------------------------------

TEST_F(CorruptFileTest, RecordPositionsOutsideTheFile) {
  for (int32_t at : {int32_t(good_.size()), int32_t(good_.size()) - 4, -2, 50}) {
    SCOPED_TRACE(at);
    damage([&](std::string& b) { put32(b, first0_ + kNodeRecords, at); });
    Outcome o = read_all();
    EXPECT_FALSE(o.first);
    int32_t zero = 0;
    RecordFile f;
    ASSERT_TRUE(f.open(path_));
    EXPECT_FALSE(f.seek_key(0, &zero));
    EXPECT_FALSE(f.delete_record());
    EXPECT_TRUE(f.close());
    churn();
  }
}

TEST_F(CorruptFileTest, DuplicateChainsThatLoop) {
  // The first entry of the chain of grp 0 leads to itself.
  damage([&](std::string& b) {
    put32(b, chain0_ + kDupNext, chain0_);
  });
  Outcome o = read_all();
  EXPECT_GT(o.walked1, 1);  // bounded
  EXPECT_TRUE(o.seek1);
  churn();
  // The chain's last field points past the end of the file.
  damage([&](std::string& b) {
    int32_t last_chain = NodeView{&b, leaf1_}.rec(2);
    put32(b, last_chain + kDupLast, int32_t(b.size()) + 100);
  });
  o = read_all();
  EXPECT_FALSE(o.last1);
  EXPECT_FALSE(insert(1000, 2));  // the new entry cannot be linked
  churn();
}

TEST_F(CorruptFileTest, FreeListHeadsOutsideTheFile) {
  damage([&](std::string& b) { put32(b, kFreeRecords, int32_t(b.size()) + 64); });
  EXPECT_FALSE(insert(1000, 1));
  damage([&](std::string& b) { put32(b, kFreeRecords, 12); });
  EXPECT_FALSE(insert(1000, 1));
  damage([&](std::string& b) { put32(b, kFreeDuplicates, -50); });
  EXPECT_FALSE(insert(1000, 1));
}

TEST_F(CorruptFileTest, RandomDamageIsSurvived) {
  // Random 4-byte values written over random places after the header, many
  // times: every operation ends, and reads never write.
  const unsigned seed = 99173;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int round = 0; round < 1000; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    damage([&](std::string& b) {
      for (int i = 0, n = 1 + int(rng() % 6); i < n; ++i) {
        long at = kHeaderSize + long(rng() % (b.size() - kHeaderSize - 4));
        int32_t v;
        switch (rng() % 4) {
          case 0: v = -int32_t(rng() % 100); break;
          case 1: v = int32_t(rng() % 400); break;
          case 2: v = kHeaderSize + int32_t(rng() % (b.size() - kHeaderSize)); break;
          default: v = int32_t(rng()); break;
        }
        put32(b, at & ~3L, v);
      }
    });
    read_all();
    insert(int32_t(rng() % 1000), int32_t(rng() % 4));
    churn();
  }
}

TEST(CorruptPackedFileTest, RandomDamageIsSurvived) {
  test::TempDir dir;
  std::string path = dir.path() + "p.sdb";
  Reason err;
  RecordSchema s;
  s.fields = {field("id", FT_AUTOINC), field("name", FT_STRING, 40), field("v", FT_DOUBLE)};
  s.keys = {single_key(0), single_key(1, 1, 2)};
  s.packed = true;
  ASSERT_TRUE(create_record_file(path, s, err)) << err.text;
  {
    RecordFile f;
    ASSERT_TRUE(f.open(path));
    for (int i = 0; i < 300; ++i) {
      ASSERT_TRUE(f.set_field_text(std::string(std::size_t(i % 37), char('a' + i % 5)), "name"));
      ASSERT_TRUE(f.insert_record());
    }
    for (int i = 1; i < 300; i += 3) {
      ASSERT_TRUE(f.seek_key(0, &i));
      ASSERT_TRUE(f.delete_record());
    }
  }
  const std::string good = file_bytes(path);
  const unsigned seed = 5150;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int round = 0; round < 500; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::string b = good;
    for (int i = 0, n = 1 + int(rng() % 4); i < n; ++i) {
      std::size_t at = kHeaderSize + rng() % (b.size() - kHeaderSize - 2);
      b.replace(at, 2, le16(int(rng() % 3 ? rng() % 80 : rng())));
    }
    write_bytes(path, b);
    RecordFile f;
    ASSERT_TRUE(f.open(path));
    long n = 0;
    for (int key = 0; key < 2; ++key)
      for (bool ok = f.move_first(key); ok && n < kHang; ok = f.move_next(key)) {
        f.get_field_text("name");
        ++n;
      }
    ASSERT_LT(n, kHang);
    int32_t id = int32_t(rng() % 300);
    if (f.seek_key(0, &id)) f.update_record();
    f.set_field_text("new", "name");
    f.insert_record();
    if (f.move_first(1)) f.delete_record();
    EXPECT_TRUE(f.close());
  }
}

TEST_F(CorruptFileTest, RoomFileWithOverstatedCount) {
  // read_rooms walks no further than the records there are.
  test::TempDir folder;
  RecordSchema s;
  s.fields = {field("id", FT_AUTOINC), field("name", FT_STRING, 64)};
  s.keys = {single_key(0)};
  Reason err;
  ASSERT_TRUE(create_record_file(folder.path() + "rooms.sdb", s, err)) << err.text;
  {
    RecordFile f;
    ASSERT_TRUE(f.open(folder.path() + "rooms.sdb"));
    ASSERT_TRUE(f.set_field_text("one", "name"));
    ASSERT_TRUE(f.insert_record());
  }
  patch(folder.path() + "rooms.sdb", kRecordCount, le32(1000000));
  std::vector<RoomInfo> rooms;
  ASSERT_TRUE(read_rooms(folder.path(), rooms));
  ASSERT_EQ(rooms.size(), 1u);
  EXPECT_STREQ(rooms[0].name, "one");
}

}  // namespace
}  // namespace tvl
