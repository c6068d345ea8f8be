#include "storage/key_index.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "storage/key_node.h"
#include "storage/record_file.h"
#include "storage/record_format.h"

namespace tvl {

using namespace recfmt;

namespace {

int width_of(int type) {
  switch (type) {
    case FT_BYTE: return 1;
    case FT_SHORT: return 2;
    case FT_INT:
    case FT_AUTOINC:
    case FT_FLOAT: return 4;
    case FT_DOUBLE: return 8;
    default: return 0;
  }
}

inline int lower(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

// Compares two zero-terminated texts of at most n bytes (byte n counts as the
// end), unsigned, optionally without regard to ASCII letter case.
inline int text_cmp(const uint8_t* a, const uint8_t* b, int n, bool ci) {
  for (int i = 0; i < n; ++i) {
    int ca = a[i], cb = b[i];
    if (ci) {
      ca = lower(ca);
      cb = lower(cb);
    }
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
  return 0;
}

template <class T>
inline int num_cmp(const uint8_t* a, const uint8_t* b) {
  T x, y;
  std::memcpy(&x, a, sizeof x);
  std::memcpy(&y, b, sizeof y);
  return x < y ? -1 : (y < x ? 1 : 0);  // unordered values compare equal
}

inline int type_cmp(int type, const uint8_t* a, const uint8_t* b) {
  switch (type) {
    case FT_BYTE: return num_cmp<uint8_t>(a, b);
    case FT_SHORT: return num_cmp<int16_t>(a, b);
    case FT_INT:
    case FT_AUTOINC: return num_cmp<int32_t>(a, b);
    case FT_FLOAT: return num_cmp<float>(a, b);
    case FT_DOUBLE: return num_cmp<double>(a, b);
    default: return 0;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Definitions and values.

void KeyIndex::load_definitions(int key_count, const int* field_type, const int* field_size,
                                const int* field_offset, int field_count) {
  defs_.assign(std::size_t(std::clamp(key_count, 0, kMaxKeys)), KeyDef{});
  for (int k = 0; k < int(defs_.size()); ++k) {
    KeyDef d;
    d.dup_mode = get_i16(hdr_ + kDuplicateMode + 2 * k);
    int nseg = get_i16(hdr_ + kSegmentCount + 2 * k);
    bool single = nseg == -1;
    if (single) nseg = 1;
    if (nseg < 1 || nseg > kMaxSegments) continue;
    bool ok = true;
    int total = 0;
    for (int j = 0; j < nseg && ok; ++j) {
      KeySegment s;
      s.field = get_i16(hdr_ + segment_at(kSegmentField, k, j));
      if (s.field < 0 || s.field >= field_count) {
        ok = false;
        break;
      }
      s.type = field_type[s.field];
      s.record_offset = field_offset[s.field];
      s.field_size = field_size[s.field];
      s.mode = get_i16(hdr_ + segment_at(kSegmentMode, k, j));
      s.start = get_i16(hdr_ + segment_at(kSegmentStart, k, j));
      s.length = get_i16(hdr_ + segment_at(kSegmentLength, k, j));
      if (s.type == FT_STRING) {
        if (s.length <= 0 || s.start < 0) ok = false;
      } else {
        int w = width_of(s.type);
        if (w == 0 || (!single && s.length != w)) ok = false;
        s.length = w;
      }
      total += s.length;
      d.segments.push_back(s);
    }
    if (!ok) continue;
    if (single) {
      const KeySegment& s = d.segments[0];
      d.value_size = s.length;
      d.keys_at = kNodeKeysNarrow;
      switch (s.type) {
        case FT_BYTE: d.kind = KeyKind::Byte; break;
        case FT_SHORT: d.kind = KeyKind::Short; break;
        case FT_INT:
        case FT_AUTOINC: d.kind = KeyKind::Int; break;
        case FT_FLOAT: d.kind = KeyKind::Float; break;
        case FT_DOUBLE:
          d.kind = KeyKind::Double;
          d.keys_at = kNodeKeysWide;
          break;
        default:
          d.kind = KeyKind::String;
          d.keys_at = kNodeKeysWide;
          d.value_size = s.length + 1;
          break;
      }
    } else {
      if (total > 128) continue;
      d.kind = KeyKind::Composite;
      d.keys_at = kNodeKeysWide;
      d.value_size = total + 1;
    }
    int64_t node = int64_t(d.keys_at) + int64_t(kNodeSlots) * d.value_size;
    // Byte and short nodes end on a 4-byte boundary (1832, 2032).
    if (d.kind == KeyKind::Byte || d.kind == KeyKind::Short) node = (node + 3) & ~int64_t(3);
    if (node > INT_MAX / 2) continue;
    d.node_size = int(node);
    defs_[std::size_t(k)] = std::move(d);
  }
}

bool KeyIndex::build_value(int key, const uint8_t* record, uint8_t* out) const {
  if (key < 0 || key >= key_count()) return false;
  const KeyDef& d = defs_[std::size_t(key)];
  if (d.kind == KeyKind::Invalid) return false;
  std::memset(out, 0, std::size_t(d.value_size));
  int at = 0;
  for (const KeySegment& s : d.segments) {
    if (s.type == FT_STRING) {
      // The segment's bytes of its own field; zero past the field's end.
      int n = std::clamp(s.field_size - s.start, 0, s.length);
      std::memcpy(out + at, record + s.record_offset + s.start, std::size_t(n));
    } else {
      std::memcpy(out + at, record + s.record_offset, std::size_t(s.length));
    }
    at += s.length;
  }
  return true;
}

bool KeyIndex::seek_value(int key, const void* value, uint8_t* out) const {
  if (key < 0 || key >= key_count() || !value) return false;
  const KeyDef& d = defs_[std::size_t(key)];
  if (d.kind == KeyKind::Invalid) return false;
  std::memset(out, 0, std::size_t(d.value_size));
  if (d.kind == KeyKind::String) {
    std::size_t n = strnlen(static_cast<const char*>(value), std::size_t(d.value_size));
    if (n >= std::size_t(d.value_size)) return false;  // longer than the key
    std::memcpy(out, value, n);
  } else if (d.kind == KeyKind::Composite) {
    std::memcpy(out, value, std::size_t(d.value_size - 1));
  } else {
    std::memcpy(out, value, std::size_t(d.value_size));
  }
  return true;
}

int KeyIndex::compare(int key, const uint8_t* a, const uint8_t* b) const {
  const KeyDef& d = defs_[std::size_t(key)];
  switch (d.kind) {
    case KeyKind::Byte: return num_cmp<uint8_t>(a, b);
    case KeyKind::Short: return num_cmp<int16_t>(a, b);
    case KeyKind::Int: return num_cmp<int32_t>(a, b);
    case KeyKind::Float: return num_cmp<float>(a, b);
    case KeyKind::Double: return num_cmp<double>(a, b);
    case KeyKind::String: {
      int mode = d.segments[0].mode;
      if (mode == kCaseSensitive) return text_cmp(a, b, d.value_size - 1, false);
      if (mode == kCaseInsensitive) return text_cmp(a, b, d.value_size - 1, true);
      return -1;  // an unknown mode makes every value compare smaller
    }
    case KeyKind::Composite: {
      int at = 0;
      for (const KeySegment& s : d.segments) {
        int c = s.type == FT_STRING
                    ? text_cmp(a + at, b + at, s.length, s.mode != kCaseSensitive)
                    : type_cmp(s.type, a + at, b + at);
        if (c) return c;
        at += s.length;
      }
      return 0;
    }
    default: return 0;
  }
}

// ---------------------------------------------------------------------------
// Positions, bounds and duplicate entries.

bool KeyIndex::valid_pos(int64_t pos, int64_t len) const {
  return pos >= kHeaderSize && pos <= INT32_MAX && pos + len <= file_.size();
}

int64_t KeyIndex::node_limit(int key) const {
  int64_t room = file_.size() - kHeaderSize;
  return room <= 0 ? 0 : room / defs_[std::size_t(key)].node_size + 1;
}

int64_t KeyIndex::entry_limit() const {
  int64_t room = file_.size() - kHeaderSize;
  return room <= 0 ? 0 : room / kDupSize + 1;
}


// ---------------------------------------------------------------------------
// Search.

KeyIndex::SearchResult KeyIndex::search(int key, const uint8_t* value, bool update_max) {
  SearchResult r;
  if (key_count() == 0) {
    error_.text = "index file not found!";
    return r;
  }
  if (key < 0 || key >= key_count() || defs_[std::size_t(key)].kind == KeyKind::Invalid) return r;
  const KeyDef& d = defs_[std::size_t(key)];
  int32_t pos = get_i32(hdr_ + kRoot + 4 * key);
  if (pos == -1) {
    r.found = Found::No;
    return r;
  }
  const int w = d.value_size;
  int64_t limit = node_limit(key);
  NodeRef n(file_);
  for (int64_t steps = 0; steps < limit; ++steps) {
    if (!n.load(pos, d.node_size)) return r;
    int count = n.count();
    uint8_t* keys = n.p + d.keys_at;
    int slot;
    bool beyond = false;
    if (compare(key, value, keys) < 0) {
      slot = 0;
    } else if (compare(key, value, keys + (count - 1) * w) > 0) {
      slot = count - 1;
      beyond = true;
      if (update_max && n.child(slot) >= 0) {
        // Raise the inner maximum along the insertion path.
        std::memcpy(keys + slot * w, value, std::size_t(w));
        n.changed(d.keys_at + slot * w, w);
      }
    } else {
      int lo = 0, hi = count - 1;  // first key not below the value
      while (lo < hi) {
        int mid = (lo + hi) / 2;
        if (compare(key, keys + mid * w, value) < 0)
          lo = mid + 1;
        else
          hi = mid;
      }
      slot = lo;
    }
    int32_t child = n.child(slot);
    if (child == -1) {
      r.leaf = pos;
      if (!beyond && compare(key, keys + slot * w, value) == 0) {
        r.found = Found::Yes;
        r.slot = slot;
        r.record = n.rec(slot);
      } else {
        r.found = Found::No;
        r.slot = beyond ? slot + 1 : slot;
      }
      return r;
    }
    pos = child;
  }
  return r;  // deeper than the file can hold: a loop
}

// ---------------------------------------------------------------------------
// Adding entries.

bool KeyIndex::new_node(int key, std::vector<uint8_t>& node, int32_t* pos) {
  int64_t end = file_.size();
  const KeyDef& d = defs_[std::size_t(key)];
  if (end < kHeaderSize || end > INT32_MAX - d.node_size) return false;
  put_i32(node.data() + kNodeSelf, int32_t(end));
  if (!file_.write(end, node.data(), d.node_size)) return false;
  *pos = int32_t(end);
  return true;
}

namespace {
// A node image with no entries: unused slots child -1, record -1, key zero.
std::vector<uint8_t> blank_node(int size) {
  std::vector<uint8_t> n(std::size_t(size), 0);
  for (int i = 0; i < kNodeSlots; ++i) {
    put_i32(n.data() + kNodeChildren + 4 * i, -1);
    put_i32(n.data() + kNodeRecords + 4 * i, -1);
  }
  put_i32(n.data() + kNodeParent, -1);
  put_i32(n.data() + kNodePrev, -1);
  put_i32(n.data() + kNodeNext, -1);
  return n;
}

// Inserts (key, child, record) at slot of a node image holding `count`
// entries, moving the later entries up.
void insert_slot(uint8_t* p, int keys_at, int w, int count, int slot, const uint8_t* value,
                 int32_t child, int32_t record) {
  int tail = count - slot;
  std::memmove(p + kNodeChildren + 4 * (slot + 1), p + kNodeChildren + 4 * slot, std::size_t(4 * tail));
  std::memmove(p + kNodeRecords + 4 * (slot + 1), p + kNodeRecords + 4 * slot, std::size_t(4 * tail));
  std::memmove(p + keys_at + w * (slot + 1), p + keys_at + w * slot, std::size_t(w * tail));
  put_i32(p + kNodeChildren + 4 * slot, child);
  put_i32(p + kNodeRecords + 4 * slot, record);
  std::memcpy(p + keys_at + w * slot, value, std::size_t(w));
  put_i32(p + kNodeCount, count + 1);
}
}  // namespace

bool KeyIndex::add_entry(int key, const uint8_t* value, int32_t record) {
  SearchResult r = search(key, value, true);
  if (r.found == Found::Failed) return false;
  const KeyDef& d = defs_[std::size_t(key)];
  if (r.found == Found::Yes) return add_duplicate(key, r, record);
  if (r.leaf == -1) {
    // The key's first leaf: root, first and last leaf at once.
    std::vector<uint8_t> node = blank_node(d.node_size);
    insert_slot(node.data(), d.keys_at, d.value_size, 0, 0, value, -1, record);
    int32_t pos;
    if (!new_node(key, node, &pos)) return false;
    put_i32(hdr_ + kRoot + 4 * key, pos);
    put_i32(hdr_ + kFirstLeaf + 4 * key, pos);
    put_i32(hdr_ + kLastLeaf + 4 * key, pos);
    header_changed_ = true;
    return true;
  }
  {
    NodeRef leaf(file_);
    if (!leaf.load(r.leaf, d.node_size)) return false;
    int count = leaf.count();
    if (r.slot > count) return false;
    insert_slot(leaf.p, d.keys_at, d.value_size, count, r.slot, value, -1, record);
    leaf.changed(0, d.keys_at + d.value_size * (count + 1));
    if (count + 1 <= kMaxNodeEntries) return leaf.commit();
    if (!leaf.commit()) return false;
  }
  return split(key, r.leaf);
}

// Moves the upper entries of the full node at node_pos (written with 201
// entries by the caller) into `fresh` and writes back the lower ones; `cut`
// receives what the rest of the split needs of the old node.
bool KeyIndex::cut_node(int key, int32_t node_pos, std::vector<uint8_t>& fresh, NodeCut& cut) {
  const KeyDef& d = defs_[std::size_t(key)];
  const int w = d.value_size;
  const int moved = kNodeSlots - kSplitKeep;  // 101
  uint8_t* n = fresh.data();
  // Read raw: load() refuses counts over 200.
  std::vector<uint8_t> img(std::size_t(d.node_size));
  if (!valid_pos(node_pos, d.node_size) || !file_.read(node_pos, img.data(), d.node_size))
    return false;
  uint8_t* op = img.data();
  if (get_i32(op + kNodeCount) != kNodeSlots || get_i32(op + kNodeSelf) != node_pos)
    return false;
  std::memcpy(n + kNodeChildren, op + kNodeChildren + 4 * kSplitKeep, std::size_t(4 * moved));
  std::memcpy(n + kNodeRecords, op + kNodeRecords + 4 * kSplitKeep, std::size_t(4 * moved));
  std::memcpy(n + d.keys_at, op + d.keys_at + w * kSplitKeep, std::size_t(w * moved));
  put_i32(n + kNodeCount, moved);
  cut.parent = get_i32(op + kNodeParent);
  cut.old_next = get_i32(op + kNodeNext);
  put_i32(n + kNodeParent, cut.parent);
  put_i32(n + kNodePrev, node_pos);
  put_i32(n + kNodeNext, cut.old_next);
  cut.leaf_level = get_i32(n + kNodeChildren) == -1;
  cut.old_max.assign(op + d.keys_at + w * (kSplitKeep - 1), op + d.keys_at + w * kSplitKeep);
  cut.old_max_rec = get_i32(op + kNodeRecords + 4 * (kSplitKeep - 1));
  // The old node keeps entries 0..99.
  for (int i = kSplitKeep; i < kNodeSlots; ++i) {
    put_i32(op + kNodeChildren + 4 * i, -1);
    put_i32(op + kNodeRecords + 4 * i, -1);
  }
  std::memset(op + d.keys_at + w * kSplitKeep, 0, std::size_t(w * moved));
  put_i32(op + kNodeCount, kSplitKeep);
  int32_t new_pos_guess = int32_t(file_.size());
  put_i32(op + kNodeNext, new_pos_guess);
  return file_.write(node_pos, op, d.node_size);
}

// Points the neighbours of the new node at new_pos: the next node's back
// link, the moved children's parent, or the key's last leaf.
bool KeyIndex::link_new_half(int key, int32_t new_pos, const uint8_t* n, const NodeCut& cut) {
  const KeyDef& d = defs_[std::size_t(key)];
  if (cut.old_next != -1) {
    NodeRef x(file_);
    if (!x.load(cut.old_next, d.node_size)) return false;
    x.set(kNodePrev, new_pos);
  }
  if (!cut.leaf_level) {
    for (int i = 0; i < kNodeSlots - kSplitKeep; ++i) {
      NodeRef c(file_);
      if (!c.load(get_i32(n + kNodeChildren + 4 * i), d.node_size)) return false;
      c.set(kNodeParent, new_pos);
    }
  } else if (cut.old_next == -1) {
    put_i32(hdr_ + kLastLeaf + 4 * key, new_pos);
    header_changed_ = true;
  }
  return true;
}

// The root was split: a new root over both halves.
bool KeyIndex::grow_root(int key, int32_t node_pos, int32_t new_pos, const uint8_t* n, const NodeCut& cut) {
  const KeyDef& d = defs_[std::size_t(key)];
  const int w = d.value_size;
  const int moved = kNodeSlots - kSplitKeep;
  std::vector<uint8_t> root = blank_node(d.node_size);
  insert_slot(root.data(), d.keys_at, w, 0, 0, cut.old_max.data(), node_pos, cut.old_max_rec);
  insert_slot(root.data(), d.keys_at, w, 1, 1, n + d.keys_at + w * (moved - 1), new_pos,
              get_i32(n + kNodeRecords + 4 * (moved - 1)));
  int32_t root_pos;
  if (!new_node(key, root, &root_pos)) return false;
  if (!write_i32(int64_t(node_pos) + kNodeParent, root_pos) ||
      !write_i32(int64_t(new_pos) + kNodeParent, root_pos))
    return false;
  put_i32(hdr_ + kRoot + 4 * key, root_pos);
  header_changed_ = true;
  return true;
}

// Splits the node at node_pos, which holds 201 entries, and carries the
// split up through full parents; a split root gets a new root.
bool KeyIndex::split(int key, int32_t node_pos) {
  const KeyDef& d = defs_[std::size_t(key)];
  const int w = d.value_size;
  int64_t limit = node_limit(key) + 1;
  for (int64_t level = 0; level < limit; ++level) {
    std::vector<uint8_t> fresh = blank_node(d.node_size);
    NodeCut cut;
    if (!cut_node(key, node_pos, fresh, cut)) return false;
    int32_t new_pos;
    if (!new_node(key, fresh, &new_pos)) return false;
    if (!link_new_half(key, new_pos, fresh.data(), cut)) return false;
    if (cut.parent == -1) return grow_root(key, node_pos, new_pos, fresh.data(), cut);
    NodeRef p(file_);
    if (!p.load(cut.parent, d.node_size)) return false;
    int count = p.count();
    int j = 0;
    while (j < count && p.child(j) != node_pos) ++j;
    if (j == count) return false;  // the parent does not know this node
    // (old max, old node) goes in front; the entry that led to the old node
    // now leads to the new one.
    insert_slot(p.p, d.keys_at, w, count, j, cut.old_max.data(), node_pos, cut.old_max_rec);
    put_i32(p.p + kNodeChildren + 4 * (j + 1), new_pos);
    p.changed(0, d.keys_at + w * (count + 1));
    if (!p.commit()) return false;
    if (count + 1 <= kMaxNodeEntries) return true;
    node_pos = cut.parent;
  }
  return false;
}

}  // namespace tvl
