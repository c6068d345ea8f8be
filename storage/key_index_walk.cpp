// Walking a key in order: first, last, next and exact seek.
#include <algorithm>

#include "storage/key_index.h"
#include "storage/key_node.h"
#include "storage/record_format.h"

namespace tvl {

using namespace recfmt;

bool KeyIndex::position_on(int key, KeyPosition& pos, int32_t leaf, int slot, int32_t target,
                           bool last) {
  bool chain;
  chain_target(key, target, &chain);
  DupEntry e;
  if (chain) {
    if (!read_entry(target, e)) return false;
    if (last && e.last != target) {
      if (!read_entry(e.last, e)) return false;
    }
  }
  pos.leaf = leaf;
  pos.slot = slot;
  pos.chain_steps = 0;
  if (chain) {
    pos.dup = e;
    pos.record = e.record;
  } else {
    pos.dup = DupEntry{};
    pos.record = target;
  }
  return true;
}

bool KeyIndex::scan_forward(int key, KeyPosition& pos, int32_t leaf, int slot) {
  const KeyDef& d = defs_[std::size_t(key)];
  int64_t limit = node_limit(key);
  NodeRef n(file_);
  while (leaf != -1) {
    if (!n.load(leaf, d.node_size) || n.child(0) != -1) return false;
    int count = n.count();
    for (int s = std::max(slot, 0); s < count; ++s) {
      int32_t target = n.rec(s);
      if (target != -1) return position_on(key, pos, leaf, s, target, false);
    }
    leaf = n.get(kNodeNext);
    slot = 0;
    if (++pos.leaf_steps > limit) return false;  // the leaves loop
  }
  return false;
}

bool KeyIndex::walk_first(int key, KeyPosition& pos) {
  if (key < 0 || key >= key_count() || defs_[std::size_t(key)].kind == KeyKind::Invalid)
    return false;
  int32_t leaf = get_i32(hdr_ + kFirstLeaf + 4 * key);
  if (leaf == -1) return false;
  KeyPosition p;
  if (!scan_forward(key, p, leaf, 0)) return false;
  pos = p;
  return true;
}

bool KeyIndex::walk_last(int key, KeyPosition& pos) {
  if (key < 0 || key >= key_count() || defs_[std::size_t(key)].kind == KeyKind::Invalid)
    return false;
  const KeyDef& d = defs_[std::size_t(key)];
  int32_t leaf = get_i32(hdr_ + kLastLeaf + 4 * key);
  int64_t limit = node_limit(key);
  NodeRef n(file_);
  for (int64_t steps = 0; leaf != -1 && steps < limit; ++steps) {
    if (!n.load(leaf, d.node_size) || n.child(0) != -1) return false;
    for (int s = n.count() - 1; s >= 0; --s) {
      int32_t target = n.rec(s);
      if (target == -1) continue;
      KeyPosition p;
      if (!position_on(key, p, leaf, s, target, true)) return false;
      pos = p;
      return true;
    }
    leaf = n.get(kNodePrev);
  }
  return false;
}

bool KeyIndex::walk_next(int key, KeyPosition& pos) {
  if (key < 0 || key >= key_count() || defs_[std::size_t(key)].kind == KeyKind::Invalid)
    return false;
  if (pos.leaf == -1) return false;
  if (pos.dup.pos != -1) {
    // Take the next link from the entry as it is now when it is still ours
    // (a record may have joined the chain since); a freed entry keeps the
    // copy's link.
    int32_t next = pos.dup.next;
    DupEntry now;
    if (read_entry(pos.dup.pos, now) && now.record == pos.dup.record) next = now.next;
    if (next != -1) {
      DupEntry e;
      if (++pos.chain_steps > entry_limit() || !read_entry(next, e)) return false;
      pos.dup = e;
      pos.record = e.record;
      return true;
    }
  }
  KeyPosition p = pos;
  if (!scan_forward(key, p, pos.leaf, pos.slot + 1)) return false;
  pos = p;
  return true;
}

bool KeyIndex::seek(int key, const uint8_t* value, KeyPosition& pos) {
  SearchResult r = search(key, value, false);
  if (r.found != Found::Yes || r.record == -1) return false;
  KeyPosition p;
  if (!position_on(key, p, r.leaf, r.slot, r.record, false)) return false;
  pos = p;
  return true;
}

}  // namespace tvl
