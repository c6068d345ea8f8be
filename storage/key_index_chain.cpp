// Duplicate chains of the key index: the 24-byte entries, their free list,
// adding a record to a value's chain and taking one out.
#include <climits>
#include <cstring>

#include "storage/key_index.h"
#include "storage/key_node.h"
#include "storage/record_format.h"

namespace tvl {

using namespace recfmt;

bool KeyIndex::is_chain(int32_t pos) {
  if (!valid_pos(pos, kDupTagCompare)) return false;
  uint8_t tag[kDupTagCompare];
  return file_.read(pos, tag, kDupTagCompare) && std::memcmp(tag, kDupTag, kDupTagCompare) == 0;
}

// Unique keys never hold chains, so their targets are records whatever
// their first bytes are.
bool KeyIndex::chain_target(int key, int32_t target, bool* chain) {
  *chain = !defs_[std::size_t(key)].unique() && is_chain(target);
  return true;
}

bool KeyIndex::read_entry(int32_t pos, DupEntry& e) {
  uint8_t b[kDupSize];
  if (!valid_pos(pos, kDupSize) || !file_.read(pos, b, kDupSize)) return false;
  if (std::memcmp(b, kDupTag, kDupTagCompare) != 0) return false;
  e.pos = pos;
  e.record = get_i32(b + kDupRecord);
  e.next = get_i32(b + kDupNext);
  e.prev = get_i32(b + kDupPrev);
  e.last = get_i32(b + kDupLast);
  return true;
}

bool KeyIndex::write_entry(const DupEntry& e) {
  uint8_t b[kDupSize];
  std::memcpy(b, kDupTag, 8);
  put_i32(b + kDupRecord, e.record);
  put_i32(b + kDupNext, e.next);
  put_i32(b + kDupPrev, e.prev);
  put_i32(b + kDupLast, e.last);
  return valid_pos(e.pos, kDupSize) && file_.write(e.pos, b, kDupSize);
}

bool KeyIndex::write_i32(int64_t pos, int32_t v) {
  uint8_t b[4];
  put_i32(b, v);
  return valid_pos(pos, 4) && file_.write(pos, b, 4);
}

// Space for one duplicate entry: the head of the free list, else the end of
// the file (reserved at once so that a second allocation gets other space).
int32_t KeyIndex::alloc_entry() {
  int32_t head = get_i32(hdr_ + kFreeDuplicates);
  if (head != -1) {
    uint8_t link[4];
    if (!valid_pos(head, kDupSize) || !file_.read(head, link, 4)) return -1;
    put_i32(hdr_ + kFreeDuplicates, get_i32(link));
    header_changed_ = true;
    return head;
  }
  int64_t end = file_.size();
  if (end < kHeaderSize || end > INT32_MAX - kDupSize) return -1;
  uint8_t zero[kDupSize] = {};
  if (!file_.write(end, zero, kDupSize)) return -1;
  return int32_t(end);
}

bool KeyIndex::add_duplicate(int key, const SearchResult& r, int32_t record) {
  const KeyDef& d = defs_[std::size_t(key)];
  int32_t target = r.record;
  int64_t slot_at = int64_t(r.leaf) + kNodeRecords + 4 * r.slot;
  if (target == -1) return write_i32(slot_at, record);  // re-use a removed slot
  if (d.unique()) return false;
  bool chain;
  chain_target(key, target, &chain);
  if (!chain) {
    DupEntry first, second;
    first.pos = alloc_entry();
    if (first.pos == -1) return false;
    second.pos = alloc_entry();
    if (second.pos == -1) return false;
    first.record = target;
    first.next = second.pos;
    first.last = second.pos;
    second.record = record;
    second.prev = first.pos;
    return write_entry(first) && write_entry(second) && write_i32(slot_at, first.pos);
  }
  DupEntry first, last;
  if (!read_entry(target, first) || first.prev != -1) return false;
  if (first.last == target) {
    last = first;
  } else if (!read_entry(first.last, last) || last.next != -1) {
    return false;
  }
  DupEntry added;
  added.pos = alloc_entry();
  if (added.pos == -1) return false;
  added.record = record;
  added.prev = last.pos;
  return write_entry(added) && write_i32(int64_t(last.pos) + kDupNext, added.pos) &&
         write_i32(int64_t(first.pos) + kDupLast, added.pos);
}

bool KeyIndex::can_add(int key, const SearchResult& r) {
  if (r.found != Found::Yes || r.record == -1) return true;
  bool chain;
  chain_target(key, r.record, &chain);
  if (chain) {
    DupEntry first, last;
    if (!read_entry(r.record, first) || first.prev != -1) return false;
    if (first.last != r.record && (!read_entry(first.last, last) || last.next != -1)) return false;
  }
  int32_t head = get_i32(hdr_ + kFreeDuplicates);
  for (int i = 0; i < (chain ? 1 : 2) && head != -1; ++i) {
    uint8_t link[4];
    if (!valid_pos(head, kDupSize) || !file_.read(head, link, 4)) return false;
    head = get_i32(link);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Removing entries.

bool KeyIndex::unlink_entry(int key, const SearchResult& r, int32_t entry, bool free_it) {
  DupEntry e, first, next, prev;
  if (!read_entry(entry, e) || !read_entry(r.record, first)) return false;
  if (e.next != -1 && !read_entry(e.next, next)) return false;
  if (e.prev != -1 && !read_entry(e.prev, prev)) return false;
  if (e.prev == -1 && entry != r.record) return false;  // a second "first" entry
  int64_t slot_at = int64_t(r.leaf) + kNodeRecords + 4 * r.slot;
  if (e.next != -1) {
    if (!write_i32(int64_t(e.next) + kDupPrev, e.prev)) return false;
  } else if (e.prev != -1) {
    if (!write_i32(int64_t(first.pos) + kDupLast, e.prev)) return false;
  }
  if (e.prev == -1) {
    // The next entry becomes the first and takes over the last field.
    if (e.next != -1 && !write_i32(int64_t(e.next) + kDupLast, e.last)) return false;
    if (!write_i32(slot_at, e.next)) return false;
  } else if (!write_i32(int64_t(e.prev) + kDupNext, e.next)) {
    return false;
  }
  if (free_it) {
    if (!write_i32(entry, get_i32(hdr_ + kFreeDuplicates))) return false;
    put_i32(hdr_ + kFreeDuplicates, entry);
    header_changed_ = true;
  }
  return true;
}

bool KeyIndex::remove_entry(int key, const uint8_t* value, int32_t record,
                            const KeyPosition* current) {
  SearchResult r = search(key, value, false);
  if (r.found != Found::Yes || r.record == -1) return false;
  bool chain;
  chain_target(key, r.record, &chain);
  if (!chain) {
    if (r.record != record) return false;  // the slot belongs to another record
    return write_i32(int64_t(r.leaf) + kNodeRecords + 4 * r.slot, -1);
  }
  int32_t entry = -1;
  DupEntry e;
  if (current && current->dup.pos != -1 && read_entry(current->dup.pos, e) && e.record == record)
    entry = e.pos;
  if (entry == -1) {
    int32_t at = r.record;
    int64_t limit = entry_limit();
    for (int64_t i = 0; at != -1 && i < limit; ++i) {
      if (!read_entry(at, e)) return false;
      if (e.record == record) {
        entry = at;
        break;
      }
      at = e.next;
    }
    if (entry == -1) return false;
  }
  return unlink_entry(key, r, entry, current != nullptr);
}

}  // namespace tvl
