// The record-file engine against an in-memory model: random inserts,
// updates, deletes, seeks and walks over six keys (unique and duplicate;
// integer, byte, double, strings in both comparison modes, composite), in
// both record formats, with the file closed and opened again at random
// points. The seed is fixed and printed with every failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "storage/record_file.h"
#include "storage/record_file_create.h"
#include "tests/record_file_helpers.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

using namespace rft;

struct Row {
  int32_t id = 0;
  int16_t grp = 0;
  double val = 0;
  std::string name;  // at most 12 bytes
  std::string tag;   // at most 8 bytes
  uint8_t b = 0;
  long seq = 0;  // when the row last joined the keys (duplicates walk in this order)
};

constexpr int kKeys = 6;

int ci_cmp(const std::string& a, const std::string& b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    int x = i < a.size() ? std::tolower(static_cast<unsigned char>(a[i])) : 0;
    int y = i < b.size() ? std::tolower(static_cast<unsigned char>(b[i])) : 0;
    if (x != y) return x < y ? -1 : 1;
    if (!x) return 0;
  }
  return 0;
}

template <class T>
int cmp3(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

// Key order of the model, without the tie-break.
int key_cmp(int key, const Row& a, const Row& b) {
  switch (key) {
    case 0: return cmp3(a.id, b.id);
    case 1: {
      int c = cmp3(a.grp, b.grp);
      return c ? c : ci_cmp(a.name, b.name, 6);
    }
    case 2: return cmp3(a.val, b.val);
    case 3: return ci_cmp(a.name, b.name, 12);
    case 4: return cmp3(a.tag, b.tag);  // byte order of zero-free texts
    default: return cmp3(a.b, b.b);
  }
}

class ModelTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    RecordSchema s;
    s.fields = {field("id", FT_INT),        field("grp", FT_SHORT), field("val", FT_DOUBLE),
                field("name", FT_STRING, 12), field("tag", FT_STRING, 8), field("b", FT_BYTE)};
    s.keys = {single_key(0, 2),
              composite_key(1, {{1, 0, 0, 0}, {3, 2, 0, 6}}),
              single_key(2, 1),
              single_key(3, 2, 2),
              single_key(4, 1, 1),
              single_key(5, 1)};
    s.packed = GetParam();
    path_ = dir_.path() + "m.sdb";
    Reason err;
    ASSERT_TRUE(create_record_file(path_, s, err)) << err.text;
    ASSERT_TRUE(f_.open(path_));
  }

  Row random_row(std::mt19937& rng) {
    Row r;
    r.id = int32_t(rng() % 3000);
    r.grp = int16_t(int(rng() % 7) - 3);
    r.val = double(int(rng() % 40) - 20) * 0.5;
    int n = int(rng() % 2500);
    std::string base = n % 3 ? "n" + std::to_string(n) : "name" + std::to_string(n);
    if (n % 3 == 0) base.resize(12, 'z');  // a full field without terminator
    for (char& c : base)
      if (rng() % 2) c = char(std::toupper(static_cast<unsigned char>(c)));
    r.name = base;
    static const char* tags[] = {"red", "Red", "blue", "green", "a", "zzzzzzzz", "", "Blue"};
    r.tag = tags[rng() % 8];
    r.b = uint8_t(rng() % 2 ? rng() % 3 : 250 + rng() % 6);
    return r;
  }

  void set_row(const Row& r) {
    ASSERT_TRUE(f_.set_field(&r.id, "id"));
    ASSERT_TRUE(f_.set_field(&r.grp, "grp"));
    ASSERT_TRUE(f_.set_field(&r.val, "val"));
    ASSERT_TRUE(f_.set_field(r.name.c_str(), "name"));
    ASSERT_TRUE(f_.set_field(r.tag.c_str(), "tag"));
    ASSERT_TRUE(f_.set_field(&r.b, "b"));
  }

  Row current() {
    Row r;
    f_.get_field(&r.id, "id");
    f_.get_field(&r.grp, "grp");
    f_.get_field(&r.val, "val");
    r.name = f_.get_field_text("name");
    r.tag = f_.get_field_text("tag");
    f_.get_field(&r.b, "b");
    return r;
  }

  // The id of the row that would clash with r on a unique key, or -1.
  int32_t clash(const Row& r, int32_t except) const {
    for (auto& [id, row] : rows_) {
      if (id == except) continue;
      if (key_cmp(0, r, row) == 0 || key_cmp(3, r, row) == 0) return id;
    }
    return -1;
  }

  std::vector<int32_t> expected_order(int key) const {
    std::vector<const Row*> v;
    for (auto& [id, row] : rows_) v.push_back(&row);
    std::sort(v.begin(), v.end(), [&](const Row* a, const Row* b) {
      int c = key_cmp(key, *a, *b);
      return c ? c < 0 : a->seq < b->seq;
    });
    std::vector<int32_t> ids;
    for (auto* r : v) ids.push_back(r->id);
    return ids;
  }

  std::vector<int32_t> walked(int key) {
    std::vector<int32_t> ids;
    for (bool ok = f_.move_first(key); ok && ids.size() <= rows_.size(); ok = f_.move_next(key)) {
      Row r = current();
      ids.push_back(r.id);
      auto it = rows_.find(r.id);
      if (it == rows_.end() || it->second.name != r.name || it->second.tag != r.tag ||
          it->second.val != r.val || it->second.grp != r.grp || it->second.b != r.b)
        ids.push_back(-999999);  // a record that differs from the model
    }
    return ids;
  }

  // The key value of r for seek_key, laid out as the engine expects.
  std::string seek_value(int key, const Row& r) const {
    std::string v;
    auto raw = [&](const void* p, std::size_t n) { v.append(static_cast<const char*>(p), n); };
    switch (key) {
      case 0: raw(&r.id, 4); break;
      case 1: {
        raw(&r.grp, 2);
        std::string n = r.name.substr(0, 6);
        n.resize(6, '\0');
        v += n;
        break;
      }
      case 2: raw(&r.val, 8); break;
      case 3: v = r.name; break;
      case 4: v = r.tag; break;
      default: raw(&r.b, 1); break;
    }
    v.push_back('\0');
    return v;
  }

  test::TempDir dir_;
  std::string path_;
  RecordFile f_;
  std::map<int32_t, Row> rows_;
  long seq_ = 0;
};

TEST_P(ModelTest, RandomOperationsMatchTheModel) {
  const unsigned seed = GetParam() ? 20261207u : 7121962u;
  SCOPED_TRACE("seed " + std::to_string(seed) + (GetParam() ? " (packed)" : " (fixed)"));
  std::mt19937 rng(seed);
  const int kSteps = 3000;
  for (int step = 0; step < kSteps; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    int op = int(rng() % 100);
    if (op < 45) {
      Row r = random_row(rng);
      set_row(r);
      bool want = clash(r, INT32_MIN) < 0;
      ASSERT_EQ(f_.insert_record(), want);
      if (want) {
        r.seq = ++seq_;
        rows_[r.id] = r;
      } else {
        ASSERT_EQ(f_.last_error(), "the key is unduplicated");
      }
    } else if (op < 60 && !rows_.empty()) {
      auto it = std::next(rows_.begin(), long(rng() % rows_.size()));
      Row old = it->second;
      ASSERT_TRUE(f_.seek_key(0, &old.id));
      Row r = random_row(rng);
      if (rng() % 2) r.id = old.id;  // mostly a change of the other fields
      set_row(r);
      bool want = clash(r, old.id) < 0;
      ASSERT_EQ(f_.update_record(), want);
      rows_.erase(old.id);
      if (want) {
        r.seq = ++seq_;
        rows_[r.id] = r;
      } else {
        old.seq = ++seq_;  // put back, at the end of its chains
        rows_[old.id] = old;
      }
    } else if (op < 75) {
      int32_t id = int32_t(rng() % 3000);
      bool present = rows_.count(id) > 0;
      ASSERT_EQ(f_.seek_key(0, &id), present);
      if (present) {
        ASSERT_TRUE(f_.delete_record());
        rows_.erase(id);
      }
    } else if (op < 88) {
      int key = int(rng() % kKeys);
      Row probe = rows_.empty() || rng() % 4 == 0 ? random_row(rng)
                                                  : std::next(rows_.begin(), long(rng() % rows_.size()))->second;
      std::string v = seek_value(key, probe);
      const Row* first = nullptr;
      for (auto& [id, row] : rows_)
        if (key_cmp(key, probe, row) == 0 && (!first || row.seq < first->seq)) first = &row;
      ASSERT_EQ(f_.seek_key(key, v.data()), first != nullptr) << "key " << key;
      if (first) {
        ASSERT_EQ(current().id, first->id) << "key " << key;
      }
    } else if (op < 97) {
      int key = int(rng() % kKeys);
      std::vector<int32_t> want = expected_order(key);
      ASSERT_EQ(walked(key), want) << "key " << key;
      if (!want.empty()) {
        ASSERT_TRUE(f_.move_last(key));
        ASSERT_EQ(current().id, want.back()) << "key " << key;
      } else {
        ASSERT_FALSE(f_.move_last(key));
      }
    } else {
      EXPECT_TRUE(f_.close());
      ASSERT_TRUE(f_.open(path_));
    }
    ASSERT_EQ(f_.record_count(), int(rows_.size()));
    // One key walked in full after every step, in turn.
    ASSERT_EQ(walked(step % kKeys), expected_order(step % kKeys)) << "key " << step % kKeys;
  }
  EXPECT_TRUE(f_.close());
  ASSERT_TRUE(f_.open(path_));
  for (int k = 0; k < kKeys; ++k) EXPECT_EQ(walked(k), expected_order(k)) << "key " << k;
}

INSTANTIATE_TEST_SUITE_P(BothFormats, ModelTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Packed" : "Fixed"; });

}  // namespace
}  // namespace tvl
